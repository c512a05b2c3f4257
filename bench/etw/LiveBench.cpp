// Live delivery: one supplier process writing as fast as it can (or at a set rate) into a session with
// the default buffers (16 KB x 32, circular log file), one real-time consumer on a thread of its own,
// and a flush every 200 ms as the window does. Reports events delivered per second, the events lost
// (the session's count plus those the supplier could not hand over) and the latency from the write to
// the consumer's callback (p50, p99, max).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/etw/Etw.h"
#include "platform/os/Os.h"

extern char** environ;

namespace {

using namespace lw::etw;

const char* kName = "lwbench_session";
const lw::tGuid kProvider = {0xDD61CD53, 0xBB41, 0x4B3F, {0xA8, 0x81, 0xBA, 0x7D, 0x75, 0xDE, 0x22, 0xE9}};

struct tBlock {
  EVENT_TRACE_PROPERTIES Props;
  char LoggerName[1024];
  char LogFileName[1024];
};

tBlock MakeBlock(const std::string& File) {
  tBlock b{};
  b.Props.Wnode.BufferSize = sizeof b;
  b.Props.Wnode.Guid = kProvider;
  b.Props.Wnode.ClientContext = 1;
  b.Props.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  b.Props.BufferSize = 16;
  b.Props.MinimumBuffers = 4;
  b.Props.MaximumBuffers = 32;
  b.Props.MaximumFileSize = 10;
  b.Props.LogFileMode = 0x01000102;
  b.Props.LoggerNameOffset = 120;
  b.Props.LogFileNameOffset = 1144;
  std::strncpy(b.LoggerName, kName, sizeof b.LoggerName - 1);
  std::strncpy(b.LogFileName, File.c_str(), sizeof b.LogFileName - 1);
  return b;
}

std::atomic<uint64_t> gDelivered{0};
std::vector<int64_t> gLatency;  // 100 ns units; written by the consumer thread only

void OnEvent(EVENT_TRACE* E) {
  if (!(E->Header.Guid == lw::tGuid{0x8EC0B600, 0x00C8, 0x485F, {0xB2, 0xDA, 0xFB, 0x91, 0x21, 0xD1, 0x28, 0xBA}}))
    return;
  int64_t now = static_cast<int64_t>(lw::os::CurrentUtcFileTime().Value);
  if (gLatency.size() < gLatency.capacity()) gLatency.push_back(now - E->Header.TimeStamp);
  gDelivered.fetch_add(1, std::memory_order_relaxed);
}

void LiveDelivery(benchmark::State& State) {
  const auto count = static_cast<uint64_t>(State.range(0));
  const auto rate = static_cast<uint64_t>(State.range(1));
  char tmpl[] = "/tmp/lwbench-XXXXXX";
  std::string dir = ::mkdtemp(tmpl);
  ::setenv("LOGWARDEN_ETW_DIR", dir.c_str(), 1);
  tTraceApi& api = SystemTraceApi();

  for (auto _ : State) {
    gDelivered = 0;
    gLatency.clear();
    gLatency.reserve(count);
    tBlock b = MakeBlock(dir + "/QD_VELDDLL.etl");
    TRACEHANDLE session = 0;
    if (api.StartTraceA(&session, kName, &b.Props) != ERROR_SUCCESS) {
      State.SkipWithError("session start failed");
      break;
    }
    api.EnableTrace(1, 0, 3, &kProvider, session);
    EVENT_TRACE_LOGFILEA lf{};
    std::string name = kName;
    lf.LoggerName = name.data();
    lf.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    lf.EventCallback = OnEvent;
    TRACEHANDLE trace = api.OpenTraceA(&lf);
    std::thread consumer([&] { api.ProcessTrace(&trace, 1, nullptr, nullptr); });
    std::atomic<bool> stopFlush{false};
    std::thread flusher([&] {
      while (!stopFlush) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        tBlock f = MakeBlock("");
        api.ControlTraceA(0, kName, &f.Props, EVENT_TRACE_CONTROL_FLUSH);
      }
    });

    // The supplier, a process of its own; its last line tells what it wrote and lost.
    int p[2];
    if (::pipe(p) != 0) break;
    std::vector<std::string> args = {LW_SUPPLIER_PATH, "--count", std::to_string(count), "--rate",
                                     std::to_string(rate), "--message", "benchmark message %n", "--file",
                                     "LiveBench.cpp"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    pid_t pid = 0;
    auto t0 = std::chrono::steady_clock::now();
    ::posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    std::string out;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(p[0], chunk, sizeof chunk)) > 0) out.append(chunk, static_cast<size_t>(n));
    ::close(p[0]);
    int ws = 0;
    ::waitpid(pid, &ws, 0);
    unsigned long long written = 0, supplierLost = 0;
    if (auto at = out.find("done written="); at != std::string::npos)
      std::sscanf(out.c_str() + at, "done written=%llu lost=%llu", &written, &supplierLost);

    // Everything written is either delivered or counted lost by the session (bounded wait).
    uint32_t sessionLost = 0;
    for (int i = 0; i < 600; ++i) {
      tBlock q = MakeBlock("");
      api.QueryTraceA(0, kName, &q.Props);
      sessionLost = q.Props.EventsLost;
      if (gDelivered.load() + sessionLost >= written + supplierLost) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto t1 = std::chrono::steady_clock::now();
    stopFlush = true;
    flusher.join();
    tBlock stop = MakeBlock("");
    api.ControlTraceA(0, kName, &stop.Props, EVENT_TRACE_CONTROL_STOP);
    consumer.join();
    api.CloseTrace(trace);

    double seconds = std::chrono::duration<double>(t1 - t0).count();
    State.SetIterationTime(seconds);
    std::sort(gLatency.begin(), gLatency.end());
    auto pct = [](double P) {
      if (gLatency.empty()) return 0.0;
      size_t i = std::min(gLatency.size() - 1, static_cast<size_t>(P * static_cast<double>(gLatency.size())));
      return static_cast<double>(gLatency[i]) / 10000.0;
    };
    State.counters["delivered"] = static_cast<double>(gDelivered.load());
    State.counters["delivered_per_s"] = static_cast<double>(gDelivered.load()) / seconds;
    State.counters["lost_session"] = sessionLost;
    State.counters["lost_supplier"] = static_cast<double>(supplierLost);
    State.counters["p50_ms"] = pct(0.50);
    State.counters["p99_ms"] = pct(0.99);
    State.counters["max_ms"] = gLatency.empty() ? 0.0 : static_cast<double>(gLatency.back()) / 10000.0;
  }
  std::string cmd = "rm -rf '" + dir + "'";
  if (std::system(cmd.c_str()) != 0) {
  }
}

// Events, rate (0: as fast as the supplier can). The time includes the supplier's start-up.
BENCHMARK(LiveDelivery)
    ->Args({1000000, 0})
    ->Args({1000000, 200000})
    ->Args({200000, 50000})
    ->Args({50000, 10000})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
