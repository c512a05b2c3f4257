// Log-file reading speed: the record walk from memory and from a file, and the replay of a 10 MiB file
// through the event decoder into the log-entry queue.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/EventDecoder.h"
#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Reader.h"
#include "platform/etw/etl/Writer.h"
#include "server/LogItems.h"

namespace {

constexpr lw::tGuid kSupplier{0x8EC0B600, 0x00C8, 0x485F, {0xB2, 0xDA, 0xFB, 0x91, 0x21, 0xD1, 0x28, 0xBA}};

std::vector<uint8_t> supplierPayload(uint32_t I) {
  std::vector<uint8_t> p;
  auto put32 = [&](uint32_t v) {
    for (int k = 0; k < 4; ++k) p.push_back(static_cast<uint8_t>(v >> (8 * k)));
  };
  auto putText = [&](const std::string& t) {
    for (char c : t) {
      p.push_back(static_cast<uint8_t>(c));
      p.push_back(0);
    }
    p.push_back(0);
    p.push_back(0);
  };
  put32(0x00000008);
  putText("src\\module\\unit.cpp");
  put32(I);
  put32(3);
  std::string message = "message number " + std::to_string(I) + " ";
  message.resize(60, '.');  // 60-character messages
  putText(message);
  return p;
}

// A sequential log of supplier events, about Bytes long.
std::string makeLog(const std::string& Name, uint64_t Bytes) {
  const std::string path = (std::filesystem::temp_directory_path() / Name).string();
  lw::etl::tWriterOptions o;
  o.LoggerName = "bench";
  o.MaximumFileSize = 0;
  o.LogFileMode = 1;
  o.StartTime = lw::tFileTime{133594528890000000ull};
  o.StartRaw = 1000;
  lw::etl::tEtlWriter w;
  if (w.Open(path, o) != 0) return {};
  for (uint32_t i = 0; w.BuffersWritten() * o.BufferSize < Bytes; ++i) {
    const std::vector<uint8_t> payload = supplierPayload(i);
    lw::etl::tClassicEvent e;
    e.ClassGuid = kSupplier;
    e.ProcessId = 100;
    e.ThreadId = 200 + (i & 7);
    e.TimeStamp = 1000 + uint64_t{i} * 50;
    e.Payload = payload;
    w.AppendEvent(e);
  }
  w.Close();
  return path;
}

std::vector<uint8_t> readAll(const std::string& Path) {
  std::ifstream f(Path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

__attribute__((noinline)) void noOpCallback(lw::etw::EVENT_TRACE* Event) { benchmark::DoNotOptimize(Event); }

const std::string& bigLog() {
  static const std::string path = makeLog("lw-etl-bench-100MB.etl", 100ull * 1000 * 1000);
  return path;
}

void BM_WalkFromMemory(benchmark::State& State) {
  const std::vector<uint8_t> bytes = readAll(bigLog());
  uint64_t events = 0;
  for (auto _ : State) {
    lw::etl::tEtlReader reader;
    if (reader.Open(std::make_unique<lw::etl::tMemorySource>(bytes)) != 0) {
      State.SkipWithError("open failed");
      return;
    }
    lw::etl::tRecord r;
    lw::etw::EVENT_TRACE event;
    while (reader.NextEvent(r)) {
      lw::etw::FillEventTrace(r, event);
      noOpCallback(&event);
      ++events;
    }
  }
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(bytes.size()));
  State.SetItemsProcessed(static_cast<int64_t>(events));
}
BENCHMARK(BM_WalkFromMemory)->Unit(benchmark::kMillisecond);

void BM_WalkFromFile(benchmark::State& State) {
  const std::string& path = bigLog();
  const uint64_t size = std::filesystem::file_size(path);
  uint64_t events = 0;
  for (auto _ : State) {
    lw::etl::tEtlReader reader;
    if (reader.Open(path) != 0) {
      State.SkipWithError("open failed");
      return;
    }
    lw::etl::tRecord r;
    lw::etw::EVENT_TRACE event;
    while (reader.NextEvent(r)) {
      lw::etw::FillEventTrace(r, event);
      noOpCallback(&event);
      ++events;
    }
  }
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(size));
  State.SetItemsProcessed(static_cast<int64_t>(events));
}
BENCHMARK(BM_WalkFromFile)->Unit(benchmark::kMillisecond);

// What the reader thread does at start-up for 10 MiB of log: open, process through the decoder into
// the queue (which trims itself, as it does while the window is not yet draining), close.
void BM_Replay10MiBThroughDecoder(benchmark::State& State) {
  static const std::string path = makeLog("lw-etl-bench-10MiB.etl", 10ull * 1024 * 1024);
  LevelFilter.store(2);
  for (auto _ : State) {
    std::string name = path;
    lw::etw::EVENT_TRACE_LOGFILEA lf{};
    lf.LogFileName = name.data();
    lf.LogFileMode = lw::etw::PROCESS_TRACE_MODE_LOGFILE;
    lf.EventCallback = &EventCallback;
    lw::etw::TRACEHANDLE h = lw::etw::OpenFileTrace(&lf);
    if (h == lw::etw::INVALID_PROCESSTRACE_HANDLE) {
      State.SkipWithError("open failed");
      return;
    }
    lw::etw::ProcessFileTraces(&h, 1, nullptr, nullptr);
    lw::etw::CloseFileTrace(h);
    State.PauseTiming();
    {
      tLogItemsLock guard(LogItems);
      LogItems.clear();
    }
    State.ResumeTiming();
  }
  State.SetBytesProcessed(State.iterations() * static_cast<int64_t>(std::filesystem::file_size(path)));
}
BENCHMARK(BM_Replay10MiBThroughDecoder)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
