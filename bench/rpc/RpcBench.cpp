// Loopback figures of the runtime with the control interface: poll round trips on one connection and on
// 100 in parallel, a poll that makes one callback, and the CPU cost of 1000 clients polling once a second.
//
// By default the program serves the interface itself. With LW_RPC_BENCH_PORT set to a port number the
// clients call a control server that already listens on that port of 127.0.0.1 instead (another runtime's,
// for comparison); that server must answer PollSupplier for process 1 by calling ApplyTraceSettings back,
// or the callback figure is reported as an error. The CPU share of the 1000 clients then counts the
// clients only.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "server/ControlInterface.h"

using namespace lw::rpc;

namespace {

std::string gPort;
std::atomic<uint64_t> gCallbacksServed{0};

int32_t pollHook(uint32_t Pid) {
  if (Pid == 1) return ApplyTraceSettings(5, 3, "settings", "");  // pid 1 gets a callback every poll
  return 3;
}
int32_t registerHook(uint32_t, const std::string&, uint32_t, int32_t, const std::string&, const std::string&,
                     const std::string&) {
  return 0;
}
const tControlServerHooks kHooks = {registerHook, pollHook};

// The port of a server to call instead of our own, or empty.
std::string externalPort() {
  const char* p = std::getenv("LW_RPC_BENCH_PORT");
  return p ? std::string(p) : std::string();
}

void startServer() {
  static bool started = [] {
    if (std::string ext = externalPort(); !ext.empty()) {
      gPort = ext;
      return true;
    }
    RpcServerUseProtseqA("ncacn_ip_tcp", 3, nullptr);  // the control server's backlog
    RpcServerRegisterIfEx(ControlInterface_v1_0_s_ifspec, nullptr, nullptr, 0x10, 1234, nullptr);
    RPC_BINDING_VECTOR* v = nullptr;
    RpcServerInqBindings(&v);
    RPC_CSTR t = nullptr, ep = nullptr;
    RpcBindingToStringBindingA(v->BindingH[0], &t);
    RpcStringBindingParseA(t, nullptr, nullptr, nullptr, &ep, nullptr);
    gPort = ep;
    RpcStringFreeA(&t);
    RpcStringFreeA(&ep);
    RpcBindingVectorFree(&v);
    SetControlServerHooks(&kHooks);
    RpcServerListen(1, 1234, 1);
    return true;
  }();
  (void)started;
}

RPC_BINDING_HANDLE connect() {
  std::string s = "ncacn_ip_tcp:127.0.0.1[" + gPort + "]";
  RPC_BINDING_HANDLE b = nullptr;
  RpcBindingFromStringBindingA(s.c_str(), &b);
  // Another runtime's server may leave a call unanswered: give up on it sooner.
  if (!externalPort().empty()) setCallTimeout(b, 10000);
  return b;
}

const CallbackTable& supplierCallbacks() {
  static const CallbackTable t{{[](CallContext&, NdrReader&, NdrWriter& Out) {
    gCallbacksServed.fetch_add(1, std::memory_order_relaxed);
    Out.writeI32(0);
    return RPC_S_OK;
  }}};
  return t;
}

void poll(RPC_BINDING_HANDLE B, uint32_t Pid, benchmark::State& State) {
  StubReply r;
  auto stub = control::EncodePollRequest(Pid);
  RPC_STATUS st = clientCall(B, kControlInterfaceId, control::kOpPollSupplier, stub, r, &supplierCallbacks());
  if (st != RPC_S_OK) State.SkipWithError(("call failed: " + std::to_string(st)).c_str());
}

void BM_PollOneConnection(benchmark::State& State) {
  startServer();
  RPC_BINDING_HANDLE b = connect();
  for (auto _ : State) poll(b, 2, State);
  State.counters["calls/s"] = benchmark::Counter(static_cast<double>(State.iterations()), benchmark::Counter::kIsRate);
  RpcBindingFree(&b);
}
BENCHMARK(BM_PollOneConnection)->UseRealTime();

void BM_Poll100Connections(benchmark::State& State) {
  startServer();
  RPC_BINDING_HANDLE b = connect();
  for (auto _ : State) poll(b, 2, State);
  State.counters["calls/s"] = benchmark::Counter(static_cast<double>(State.iterations()), benchmark::Counter::kIsRate);
  RpcBindingFree(&b);
}
BENCHMARK(BM_Poll100Connections)->Threads(100)->UseRealTime();

void BM_PollWithCallback(benchmark::State& State) {
  startServer();
  RPC_BINDING_HANDLE b = connect();
  std::vector<double> us;
  uint64_t served0 = gCallbacksServed.load();
  for (auto _ : State) {
    auto t0 = std::chrono::steady_clock::now();
    poll(b, 1, State);
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  // Without a callback in every poll the figure would be a plain poll's.
  uint64_t served = gCallbacksServed.load() - served0;
  if (served < static_cast<uint64_t>(State.iterations())) {
    State.SkipWithError(("the server made " + std::to_string(served) + " callbacks in " +
                         std::to_string(State.iterations()) + " polls")
                            .c_str());
  }
  std::sort(us.begin(), us.end());
  if (!us.empty()) {
    State.counters["p50_us"] = us[us.size() / 2];
    State.counters["p99_us"] = us[us.size() * 99 / 100];
  }
  RpcBindingFree(&b);
}
BENCHMARK(BM_PollWithCallback)->UseRealTime();

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// 1000 connections, each polled once a second from 10 client threads (100 bindings each) for 5 s. The
// CPU share counts the whole process: server and clients.
void BM_Thousand1HzClients(benchmark::State& State) {
  startServer();
  for (auto _ : State) {
    std::vector<RPC_BINDING_HANDLE> bs(1000);
    for (auto& b : bs) {
      b = connect();
      poll(b, 2, State);  // connect and bind before measuring
    }
    double cpu0 = cpuSeconds();
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < 10; ++t)
      threads.emplace_back([&, t] {
        for (int round = 0; round < 5; ++round) {
          auto next = t0 + std::chrono::seconds(round + 1);
          for (int i = 0; i < 100; ++i) poll(bs[static_cast<size_t>(t * 100 + i)], 2, State);
          std::this_thread::sleep_until(next);
        }
      });
    for (auto& th : threads) th.join();
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    State.counters["cpu_percent_of_one_core"] = 100.0 * (cpuSeconds() - cpu0) / wall;
    for (auto& b : bs) RpcBindingFree(&b);
  }
}
BENCHMARK(BM_Thousand1HzClients)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
