// Load program of the control-server benchmark: many simulated supplier processes in one program.
//
//   server_load_clients COUNT SUPPLIERS SECONDS BASE_PID
//
// Each of COUNT connections registers SUPPLIERS suppliers (ids 1..SUPPLIERS) under process id
// BASE_PID + index (connections arrive over the first 2 s), then polls once a second (the first polls
// spread over the third second) until SECONDS have passed. At the end it prints
//   polls <n> failed <n> registered <connections> rtt_us <p50> <p99> <max>
// and one line per callback received: "cb <pid> <supplier> <level> <steady-clock ns>".
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/supplier/Control.h"

namespace {

using Clock = std::chrono::steady_clock;

struct tCallback {
  uint32_t Pid;
  uint32_t Supplier;
  int32_t Level;
  int64_t AtNs;
};

std::mutex gMutex;
std::vector<int64_t> gRttUs;
std::vector<tCallback> gCallbacks;
std::atomic<uint64_t> gFailed{0};
std::atomic<int> gRegistered{0};

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

void RunConnection(uint32_t Pid, int Suppliers, Clock::time_point Arrive, Clock::time_point Start,
                   Clock::time_point End) {
  std::this_thread::sleep_until(Arrive);
  supplier::tControlOptions options;
  options.ProcessID = Pid;
  for (int s = 1; s <= Suppliers; ++s) {
    supplier::tSupplierSpec spec;
    spec.SupplierID = static_cast<uint32_t>(s);
    spec.Name = "Load" + std::to_string(s);
    options.Suppliers.push_back(spec);
  }
  supplier::tSupplierControl control(
      options, nullptr, nullptr, [Pid](const control::tApplyArgs& Args) {
        const int64_t at = NowNs();
        std::lock_guard<std::mutex> hold(gMutex);
        gCallbacks.push_back({Pid, Args.SupplierID, Args.Level, at});
      });

  std::vector<int64_t> rtts;
  bool ready = false;
  for (int attempt = 0; attempt < 20 && !ready; ++attempt) {
    ready = control.Connect() == 0 && control.RegisterAll() == 0;
    if (!ready) std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!ready) {
    gFailed.fetch_add(1);
    return;
  }
  gRegistered.fetch_add(1);
  auto next = Start;
  while (Clock::now() < End) {
    std::this_thread::sleep_until(next);
    next += std::chrono::seconds(1);
    const auto before = Clock::now();
    int32_t result = 0;
    const int32_t status = control.Poll(result);
    const auto after = Clock::now();
    if (status != 0 || result == 0) {
      gFailed.fetch_add(1);
      continue;
    }
    rtts.push_back(std::chrono::duration_cast<std::chrono::microseconds>(after - before).count());
  }
  std::lock_guard<std::mutex> hold(gMutex);
  gRttUs.insert(gRttUs.end(), rtts.begin(), rtts.end());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: server_load_clients COUNT SUPPLIERS SECONDS BASE_PID\n");
    return 2;
  }
  const int count = std::atoi(argv[1]);
  const int suppliers = std::atoi(argv[2]);
  const int seconds = std::atoi(argv[3]);
  const uint32_t basePid = static_cast<uint32_t>(std::strtoul(argv[4], nullptr, 10));

  const auto begin = Clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  threads.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    // Spread the first polls over the first second, as independent processes would be.
    // Processes arrive over the first two seconds; their first polls are spread over the next second,
    // as independent processes would be.
    const auto spread = [&](int64_t Us) { return std::chrono::microseconds(Us * i / std::max(count, 1)); };
    const auto arrive = begin + spread(2000000);
    const auto start = begin + std::chrono::seconds(3) + spread(1000000);
    threads.emplace_back(RunConnection, basePid + static_cast<uint32_t>(i), suppliers, arrive, start, end);
  }
  for (std::thread& t : threads) t.join();
  std::fprintf(stderr, "server_load_clients: done after %.1f s\n",
               std::chrono::duration<double>(Clock::now() - begin).count());

  std::sort(gRttUs.begin(), gRttUs.end());
  auto at = [](double Fraction) {
    if (gRttUs.empty()) return int64_t{0};
    const size_t index = std::min(gRttUs.size() - 1, static_cast<size_t>(Fraction * static_cast<double>(gRttUs.size())));
    return gRttUs[index];
  };
  std::printf("polls %zu failed %llu registered %d rtt_us %lld %lld %lld\n", gRttUs.size(),
              static_cast<unsigned long long>(gFailed.load()), gRegistered.load(), static_cast<long long>(at(0.5)),
              static_cast<long long>(at(0.99)), static_cast<long long>(gRttUs.empty() ? 0 : gRttUs.back()));
  for (const tCallback& c : gCallbacks) {
    std::printf("cb %u %u %d %lld\n", c.Pid, c.Supplier, c.Level, static_cast<long long>(c.AtNs));
  }
  std::fflush(stdout);
  return 0;
}
