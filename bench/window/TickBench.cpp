// One tick of the main window's drain, offscreen: the live view full (10000 records), sorted by the Time
// text, optionally filtered, shown in a window; entries of realistic size queued before each tick.
#include <benchmark/benchmark.h>

#include <QApplication>

#include "bench/window/ScriptedReader.h"
#include "capture/thruETWReaderThread.h"
#include "window/frmuMain.h"

namespace {

uint32_t counter = 0;

void queue(int Count) {
  for (int i = 0; i < Count; ++i) {
    const uint32_t n = ++counter;
    AddLogItem(n % 5 == 0 ? 0x0001u : 0x0008u, 2, "D:\\work\\src\\modules\\unit" + std::to_string(n % 40) + ".cpp",
               static_cast<int32_t>(n % 2000),
               "Telegram " + std::to_string(n) + " from station " + std::to_string(n % 17) +
                   " handled in 3 ms, queue length 12, state ready",
               46000.25 + n / 86400000.0, 4242, 4243 + n % 4);
  }
}

TfrmETWViewer& window(bool Filtered) {
  static TfrmETWViewer* w = [] {
    auto* v = new TfrmETWViewer(IdleServices(true));
    v->Timer2->stop();
    v->show();
    return v;
  }();
  w->Timer2->stop();
  auto& f = w->cxEventView->Controller().Filter();
  if (Filtered && f.IsEmpty()) {
    f.AddItem(9, lw::widgets::foLike, QStringLiteral("%station 1%"), QStringLiteral("%station 1%"));
    f.SetActive(true);
  } else if (!Filtered && !f.IsEmpty()) {
    f.Clear();
  }
  if (w->cxEventView->Controller().RecordCount() < kMaxEventRecords) {
    queue(kMaxEventRecords);
    w->Timer2Timer();
  }
  return *w;
}

void BM_Tick(benchmark::State& State) {
  const int entries = static_cast<int>(State.range(0));
  TfrmETWViewer& w = window(State.range(1) != 0);
  for (auto _ : State) {
    State.PauseTiming();
    queue(entries);
    State.ResumeTiming();
    w.Timer2Timer();
    // The repaint that the tick causes, as the event loop would run it.
    QApplication::processEvents();
    w.Timer2->stop();
  }
  State.SetItemsProcessed(State.iterations() * entries);
}
BENCHMARK(BM_Tick)
    ->ArgsProduct({{10000, 1000, 100}, {0, 1}})
    ->ArgNames({"entries", "filtered"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(30);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen") : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
