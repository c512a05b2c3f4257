// Decoding supplier events into the queue: one producer draining every 10000 adds, and four producers
// against one draining consumer.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "capture/EventDecoder.h"
#include "platform/os/Os.h"
#include "server/LogItems.h"

namespace {

std::vector<uint8_t> payload() {
  auto text = [](std::vector<uint8_t>& out, const std::string& s) {
    for (char c : s) {
      out.push_back(static_cast<uint8_t>(c));
      out.push_back(0);
    }
    out.push_back(0);
    out.push_back(0);
  };
  std::vector<uint8_t> p = {0x04, 0, 0, 0};
  text(p, "src\\module\\unit.cpp");  // 20 characters
  for (int i = 0; i < 8; ++i) p.push_back(static_cast<uint8_t>(i));
  text(p, std::string(60, 'm'));
  return p;
}

size_t drain() {
  tLogItemsLock guard(LogItems);
  const size_t n = LogItems.size();
  LogItems.clear();
  return n;
}

void BM_DecodeOneProducer(benchmark::State& State) {
  const auto p = payload();
  tPlainEvent e;
  e.ClassGuid = kSupplierEventClass;
  e.TimeStamp = 134000000000000000ULL;
  e.Payload = p.data();
  e.PayloadLength = static_cast<uint32_t>(p.size());
  LevelFilter = 1;
  drain();
  int n = 0;
  for (auto _ : State) {
    EventCallbackPlain(e);
    if (++n == 10000) {
      n = 0;
      drain();
    }
  }
  drain();
  State.SetItemsProcessed(State.iterations());
}
BENCHMARK(BM_DecodeOneProducer);

void BM_DecodeFourProducers(benchmark::State& State) {
  const auto p = payload();
  constexpr int kPerProducer = 250000;
  for (auto _ : State) {
    drain();
    std::atomic<int> running{4};
    std::vector<std::thread> producers;
    for (int t = 0; t < 4; ++t)
      producers.emplace_back([&] {
        tPlainEvent e;
        e.ClassGuid = kSupplierEventClass;
        e.TimeStamp = 134000000000000000ULL;
        e.Payload = p.data();
        e.PayloadLength = static_cast<uint32_t>(p.size());
        for (int i = 0; i < kPerProducer; ++i) EventCallbackPlain(e);
        --running;
      });
    size_t drained = 0;
    while (running.load() > 0) {
      if (!LogItems.IsEmpty()) drained += drain();
      std::this_thread::yield();
    }
    for (auto& t : producers) t.join();
    drained += drain();
    benchmark::DoNotOptimize(drained);
  }
  State.SetItemsProcessed(State.iterations() * 4 * kPerProducer);
}
BENCHMARK(BM_DecodeFourProducers)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  lw::os::TuneAllocator();  // as the program does at start
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
