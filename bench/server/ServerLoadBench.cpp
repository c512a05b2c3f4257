// The control server under the load of many suppliers: the viewer's server and a window-side loop in
// this process, an endpoint mapper, and one load program with many connections of distinct process ids.
//
// Each connection registers 3 suppliers and polls once a second; every second the window side takes all
// notices and sets a new level for 100 suppliers. Reported: poll round-trip percentiles (client side),
// how many pushes arrived within one poll interval of the set, the server process's memory and CPU.
//
// LW_LOAD_CONNECTIONS (default 1000) and LW_LOAD_SECONDS (default 30) change the size of the run.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "server/uETW_RPCServer.h"
#include "tests/server/ProcessHarness.h"

namespace {

using Clock = std::chrono::steady_clock;

int EnvInt(const char* Name, int Default) {
  const char* value = std::getenv(Name);
  return value != nullptr && *value != '\0' ? std::atoi(value) : Default;
}

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// kB from /proc/self/status.
long StatusKb(const std::string& Field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(Field + ":", 0) == 0) return std::atol(line.c_str() + Field.size() + 1);
  }
  return 0;
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_ServerUnderSupplierLoad(benchmark::State& State) {
  const int connections = EnvInt("LW_LOAD_CONNECTIONS", 1000);
  const int seconds = EnvInt("LW_LOAD_SECONDS", 30);
  constexpr int kSuppliers = 3;
  constexpr int kSetsPerSecond = 100;
  constexpr uint32_t kBasePid = 3000000;

  for (auto _ : State) {
    const int port = lwtest::FreeLoopbackPort();
    setenv("LOGWARDEN_EPM_PORT", std::to_string(port).c_str(), 1);
    setenv("LOGWARDEN_EPMD", LW_EPMD_PATH, 1);
    lwtest::tChild epmd(LW_EPMD_PATH, {"--port", std::to_string(port)});
    if (!lwtest::WaitForListener(port, 10000)) {
      State.SkipWithError("endpoint mapper did not start");
      return;
    }
    const long rssBeforeKb = StatusKb("VmRSS");
    auto server = std::make_unique<tRPCServerThread>();
    RPCServerThread = server.get();

    lwtest::tChild load(LW_LOAD_CLIENTS_PATH, {std::to_string(connections), std::to_string(kSuppliers),
                                               std::to_string(seconds), std::to_string(kBasePid)});

    // The window side: every second all notices, then 100 level changes (a new level per round, so
    // each callback names the round that caused it).
    std::vector<std::pair<uint32_t, uint32_t>> known;
    std::map<int32_t, int64_t> setAt;  // level (= 1000 + round) -> when it was set
    size_t nextSupplier = 0;
    long peakRssKb = 0;
    const double cpuStart = CpuSeconds();
    const auto wallStart = Clock::now();
    const auto setUntil = wallStart + std::chrono::seconds(std::max(seconds - 3, 1));
    auto tick = wallStart;
    for (int round = 0; Clock::now() < setUntil; ++round) {
      tick += std::chrono::seconds(1);
      std::this_thread::sleep_until(tick);
      while (const tTraceRec* copy = RPCServerThread->GetNextSupplierChange()) {
        if (copy->SupplierID != 0) known.emplace_back(copy->ProcessID, copy->SupplierID);
      }
      peakRssKb = std::max(peakRssKb, StatusKb("VmRSS"));
      // Changes start once every supplier is known, or after a warm-up of 5 s with those known then.
      if (known.size() < static_cast<size_t>(connections * kSuppliers) && round < 5) continue;
      if (known.empty()) continue;
      const int32_t level = 1000 + round;
      setAt[level] = NowNs();
      for (int i = 0; i < kSetsPerSecond; ++i) {
        const auto& [pid, sid] = known[nextSupplier++ % known.size()];
        RPCServerThread->SetSupplierLevel(pid, sid, level);
      }
    }
    const double cpuUsed = CpuSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();

    load.WaitForExit((seconds + 60) * 1000);
    const std::vector<std::string> lines = load.WaitForLines(SIZE_MAX, 10000);  // until its output ends

    size_t polls = 0;
    unsigned long long failed = 0;
    int registeredConnections = 0;
    long long p50 = 0, p99 = 0, pmax = 0;
    size_t delivered = 0, withinInterval = 0;
    int64_t worstDelayNs = 0;
    for (const std::string& line : lines) {
      std::istringstream in(line);
      std::string kind;
      in >> kind;
      if (kind == "polls") {
        std::string word;
        in >> polls >> word >> failed >> word >> registeredConnections >> word >> p50 >> p99 >> pmax;
      } else if (kind == "cb") {
        uint32_t pid = 0, sid = 0;
        int32_t level = 0;
        long long at = 0;
        in >> pid >> sid >> level >> at;
        auto set = setAt.find(level);
        if (set == setAt.end()) continue;
        ++delivered;
        const int64_t delay = at - set->second;
        worstDelayNs = std::max(worstDelayNs, delay);
        if (delay <= 1000000000LL) ++withinInterval;
      }
    }
    const size_t pushesSet = setAt.size() * kSetsPerSecond;

    State.counters["connections"] = connections;
    State.counters["registered_connections"] = registeredConnections;
    State.counters["suppliers_known"] = static_cast<double>(known.size());
    State.counters["polls"] = static_cast<double>(polls);
    State.counters["poll_failures"] = static_cast<double>(failed);
    State.counters["poll_rtt_p50_ms"] = static_cast<double>(p50) / 1000.0;
    State.counters["poll_rtt_p99_ms"] = static_cast<double>(p99) / 1000.0;
    State.counters["poll_rtt_max_ms"] = static_cast<double>(pmax) / 1000.0;
    State.counters["pushes_set"] = static_cast<double>(pushesSet);
    State.counters["pushes_delivered"] = static_cast<double>(delivered);
    State.counters["pushes_within_1s_pct"] =
        pushesSet == 0 ? 0.0 : 100.0 * static_cast<double>(withinInterval) / static_cast<double>(pushesSet);
    State.counters["push_delay_max_ms"] = static_cast<double>(worstDelayNs) / 1e6;
    State.counters["server_rss_mb"] = static_cast<double>(peakRssKb) / 1024.0;
    State.counters["server_rss_growth_mb"] = static_cast<double>(peakRssKb - rssBeforeKb) / 1024.0;
    State.counters["server_cpu_pct"] = wall > 0 ? 100.0 * cpuUsed / wall : 0.0;

    RPCServerThread = nullptr;
    server.reset();
  }
}

BENCHMARK(BM_ServerUnderSupplierLoad)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
