// Screenshots of the main window with live rows, grouped, filtered and frozen (run under xvfb-run).
// Usage: logwarden-screenshots <folder>
#include <QApplication>
#include <QDir>
#include <QTest>
#include <cstdio>

#include "bench/window/ScriptedReader.h"
#include "capture/thruETWReaderThread.h"
#include "window/frmuMain.h"

namespace {

void queueSample(uint32_t First, uint32_t Count) {
  const uint32_t levels[] = {0x0008, 0x0008, 0x0004, 0x0010, 0x0002, 0x0001, 0x0020, 0x0040, 0x00030008, 0xFFFF, 0x0080};
  const char* files[] = {"D:\\work\\src\\gateway\\TelegramRouter.cpp", "D:\\work\\src\\client\\StationView.cpp",
                         "D:\\work\\src\\lib\\TraceLib.cpp", "D:\\work\\src\\gateway\\Spooler.cpp"};
  const char* texts[] = {"Telegram %u routed to station 12",     "Connection to host gwy-01 established",
                         "Station 7 went offline, retrying",     "Spool folder D:\\spool\\in holds 3 files",
                         "Failed to open D:\\spool\\out\\t%u.tel", "Settings reloaded: level 3",
                         "Request %u sent",                      "Answer %u received after 4 ms",
                         "User operator1 changed view",          "Unhandled exception in worker thread",
                         "Checkpoint %u"};
  for (uint32_t i = 0; i < Count; ++i) {
    const uint32_t n = First + i;
    char msg[128];
    std::snprintf(msg, sizeof msg, texts[n % 11], n);
    AddLogItem(levels[n % 11], static_cast<int32_t>(n % 4), files[n % 4], static_cast<int32_t>(100 + n % 900), msg,
               46000.4 + n * 0.137 / 86400.0, 3100 + n % 3, 7100 + n % 5);
  }
}

void save(QWidget& w, const QString& folder, const char* name) {
  QApplication::processEvents();
  QTest::qWait(100);
  const QString path = QDir(folder).filePath(QString::fromLatin1(name));
  w.grab().save(path);
  std::printf("%s\n", path.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Quendral Logwarden"));
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  QDir().mkpath(folder);
  TfrmETWViewer w(IdleServices(true));
  w.Timer2->stop();
  w.show();
  if (!QTest::qWaitForWindowExposed(&w)) return 1;
  queueSample(1, 400);
  w.Timer2Timer();
  w.cxEventViewThread->SetVisible(true);
  w.cxEventViewFile->SetVisible(true);
  w.FormResize();
  save(w, folder, "live.png");

  w.GroupByClick(w.groupby1->actions().at(2));  // Level
  w.cxEventView->Controller().SetGroupExpanded(1, true);
  w.cxEventView->Controller().FullExpand();
  save(w, folder, "grouped.png");
  w.GroupByClick(w.Cleargrouping1);

  auto& f = w.cxEventView->Controller().Filter();
  f.AddItem(9, lw::widgets::foLike, QStringLiteral("%station%"), QStringLiteral("%station%"));
  f.AddItem(2, lw::widgets::foLike, 8, QStringLiteral("8"));
  f.SetActive(true);
  save(w, folder, "filtered.png");
  f.Clear();

  w.SpeedButton1->click();
  queueSample(401, 50);
  w.Timer2Timer();
  save(w, folder, "frozen.png");
  return 0;
}
