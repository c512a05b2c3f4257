// The main window with a scripted reader: construction, the drain, the indicator and its warning, the
// level choice, Freeze, and the tools on the list.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <atomic>
#include <thread>

#include "capture/thruETWReaderThread.h"
#include "platform/widgets/XlsExport.h"
#include "window/LevelImages.h"
#include "window/frmuMain.h"

using namespace lw::widgets;

namespace {

struct ReaderScript {
  bool processing = false;
  uint32_t status = 0;
  int flushes = 0;
  std::vector<std::string> calls;  // in order: "filter:N", "resume", "delete"
};

class ScriptedReader final : public tReaderControl {
 public:
  explicit ScriptedReader(ReaderScript& S) : s_(S) {}
  ~ScriptedReader() override { s_.calls.push_back("delete"); }
  void Resume() override { s_.calls.push_back("resume"); }
  void SetLevelFilter(int Index) override { s_.calls.push_back("filter:" + std::to_string(Index)); }
  uint32_t FlushSession() override {
    ++s_.flushes;
    return 0;
  }
  bool IsProcessing() const override { return s_.processing; }
  uint32_t GetStatus() const override { return s_.processing ? 0 : s_.status; }

 private:
  ReaderScript& s_;
};

struct Env {
  ReaderScript reader;
  std::string logFile;
  std::vector<MessageDlgRequest> dialogs;
  tWindowServices services() {
    tWindowServices s;
    s.SetCurrentLogFile = [this](const std::string& p) {
      logFile = p;
      reader.calls.push_back("logfile");
    };
    s.CreateReader = [this] {
      reader.calls.push_back("create");
      return std::make_unique<ScriptedReader>(reader);
    };
    return s;
  }
  Env() {
    AccessWarningDone = false;
    UseAsFilterColumn = nullptr;
    UseAsFilterValue = QVariant();
    LogItems.Lock();
    LogItems.clear();
    LogItems.Unlock();
    SetMessageDlgHook([this](const MessageDlgRequest& r) {
      dialogs.push_back(r);
      return int(mrOk);
    });
  }
  ~Env() { SetMessageDlgHook(nullptr); }
};

constexpr double kDay = 46000.0;  // some day in 2025
double timeOf(uint32_t n) { return kDay + 0.25 + n / 86400000.0; }  // n milliseconds after 06:00

// Queues entries numbered First..Last; message "m<n>", level 8, file, line n.
void queue(uint32_t First, uint32_t Last, uint32_t LevelWord = 8) {
  for (uint32_t n = First; n <= Last; ++n)
    AddLogItem(LevelWord, 3, "D:\\proj\\mod\\unit" + std::to_string(n % 7) + ".src", static_cast<int32_t>(n),
               "m" + std::to_string(n), timeOf(n), 100 + n % 3, 200 + n % 5);
}

QString messageOf(const TfrmETWViewer& w, int Record) {
  return w.cxEventView->Controller().Values(Record, 9).toString();
}

QJsonObject readXls(const QString& path) {
  QProcess p;
  p.start(QStringLiteral(LW_PYTHON3), {QStringLiteral(LW_XLS_READER), path});
  p.waitForFinished(60000);
  if (p.exitCode() == 2) return {{"skip", true}};
  if (p.exitCode() != 0) return {{"error", QString::fromUtf8(p.readAllStandardError())}};
  return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
}

// A window whose row writer fails at one entry.
class FailingWindow : public TfrmETWViewer {
 public:
  FailingWindow(tWindowServices S, int FailAt) : TfrmETWViewer(std::move(S)), failAt_(FailAt) {}
  int written = 0;

 protected:
  void AddEventRecord(DataController& V, const tLogItem& Item) override {
    if (written == failAt_) throw std::runtime_error("row write failed");
    ++written;
    TfrmETWViewer::AddEventRecord(V, Item);
  }

 private:
  int failAt_;
};

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT
 private slots:
  void construction() {
    Env env;
    {
      TfrmETWViewer w(env.services());
      QCOMPARE(w.windowTitle(), QStringLiteral("Quendral Logwarden"));
      QCOMPARE(w.size(), QSize(1087, 838));
      QVERIFY(env.logFile.ends_with("QD_VELDDLL.etl"));
      // The log file before the reader, the level filter before Resume; the drain timer runs.
      QCOMPARE(env.reader.calls, (std::vector<std::string>{"logfile", "create", "filter:1", "resume"}));
      QVERIFY(w.Timer2->isActive());
      QCOMPARE(w.Timer2->interval(), 200);
      // The supplier poll runs from the last step on, the panels start hidden.
      QVERIFY(w.Timer1->isActive());
      QCOMPARE(w.Timer1->interval(), 1000);
      QVERIFY(!w.pnlDebugLvl->isVisibleTo(&w));
      QVERIFY(!w.pnlDebugLvlEx->isVisibleTo(&w));
      QCOMPARE(w.pnlDebugLvl->geometry(), QRect(168, 0, 350, 250));
      QCOMPARE(w.ComboBox1->currentText(), QStringLiteral("standard (important + diagnose)"));
      QCOMPARE(w.ETWRunning->BrushColor(), QColor(255, 0, 0));
      // The columns as the form defines them.
      struct Col {
        const char* caption;
        ValueType type;
        bool visible;
        int width;
      };
      const Col cols[] = {{"Seq", ValueType::Int64, false, 64},       {"Time", ValueType::Text, true, 135},
                          {"Level", ValueType::Integer, true, 35},    {"User", ValueType::Integer, false, 64},
                          {"Proccess ID", ValueType::Integer, false, 64}, {"Thread ID", ValueType::Integer, false, 64},
                          {"Cat..", ValueType::Integer, false, 35},   {"File", ValueType::Text, false, 150},
                          {"Line", ValueType::Integer, false, 35},    {"Message", ValueType::Text, true, -1}};
      QCOMPARE(w.cxEventView->ColumnCount(), 10);
      for (int i = 0; i < 10; ++i) {
        const GridColumn* c = w.cxEventView->Columns(i);
        QCOMPARE(c->Caption(), QString::fromLatin1(cols[i].caption));
        QCOMPARE(c->DataType(), cols[i].type);
        QCOMPARE(c->Visible(), cols[i].visible);
        if (cols[i].width >= 0) QCOMPARE(c->Width(), cols[i].width);
        QCOMPARE(c->HeaderAlignment(), Qt::Alignment(Qt::AlignCenter));
        QVERIFY(!c->Options.Editing);
      }
      QCOMPARE(w.cxEventViewLevel->MinWidth(), 35);
      QVERIFY(!w.cxEventViewMessage->Options.Grouping);
      QVERIFY(!w.cxEventViewTime->Options.Sorting);
      QCOMPARE(w.cxEventView->Controller().SortItem(), 1);
      QCOMPARE(w.cxEventView->Controller().SortOrderOf(), SortOrder::Ascending);
      // The frozen view: the same columns, light cyan.
      QCOMPARE(w.cxEventView2->ColumnCount(), 10);
      QCOMPARE(w.cxEventView2->Columns(3)->Caption(), QStringLiteral("User"));
      QCOMPARE(w.cxEventView2->ContentColor(), QColor(185, 248, 253));
      // Group-by items: Clear grouping (0), then the columns 1..9 with their index as tag.
      QStringList items;
      QList<int> tags;
      for (QAction* a : w.groupby1->actions()) {
        items << a->text();
        tags << a->data().toInt();
      }
      QCOMPARE(items, (QStringList{"Clear grouping", "Time", "Level", "User", "Proccess ID", "Thread ID", "Cat..",
                                   "File", "Line", "Message"}));
      QCOMPARE(tags, (QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
      QStringList menu;
      for (QAction* a : w.pmEventView->actions()) menu << a->text();
      QCOMPARE(menu, (QStringList{"Group by", "Filter", "use as filter"}));
      QVERIFY(!w.useasfilter1->isEnabled());
      QCOMPARE(w.cxImageList1.Count(), 20);
      QCOMPARE(w.SaveDialog1.Filter, QStringLiteral("Excell (*.xls)|*.xls"));
    }
    QCOMPARE(env.reader.calls.back(), std::string("delete"));
  }

  void failedServerStartEndsTheConstruction() {
    Env env;
    tWindowServices s = env.services();
    s.CreateControlServer = [] { throw std::runtime_error("RPC start error: 1722 (RpcServerUseProtseqEp) "); };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, TfrmETWViewer w(s));
    // The reader had been started and is deleted on the way out.
    QCOMPARE(env.reader.calls, (std::vector<std::string>{"logfile", "create", "filter:1", "resume", "delete"}));
  }

  void drain_data() {
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("queued");
    QTest::addColumn<int>("firstShown");  // number of the oldest entry in the view afterwards
    QTest::addColumn<QStringList>("signalsOfTick");
    QTest::newRow("10500 queued: the oldest 500 skipped") << 0 << 10500 << 501 << QStringList{"insert(0,9999)"};
    QTest::newRow("exactly 10000 over 3000 shown") << 3000 << 10000 << 3001 << QStringList{"reset"};
    QTest::newRow("9000 shown, 2000 queued") << 9000 << 2000 << 1001
                                            << QStringList{"remove(0,999)", "insert(8000,9999)"};
    QTest::newRow("10500 over 3000 shown") << 3000 << 10500 << 3501 << QStringList{"reset"};
    QTest::newRow("few new into few shown") << 10 << 5 << 1 << QStringList{"insert(10,14)"};
  }
  void drain() {
    QFETCH(int, shown);
    QFETCH(int, queued);
    QFETCH(int, firstShown);
    QFETCH(QStringList, signalsOfTick);
    Env env;
    TfrmETWViewer w(env.services());
    DataController& V = w.cxEventView->Controller();
    QAbstractItemModelTester tester(&V, QAbstractItemModelTester::FailureReportingMode::QtTest);
    if (shown > 0) {
      queue(1, static_cast<uint32_t>(shown));
      w.Timer2Timer();
      QCOMPARE(V.RecordCount(), shown);
    }
    QStringList log;
    connect(&V, &QAbstractItemModel::rowsRemoved, &w, [&](const QModelIndex&, int a, int b) { log << QStringLiteral("remove(%1,%2)").arg(a).arg(b); });
    connect(&V, &QAbstractItemModel::rowsInserted, &w, [&](const QModelIndex&, int a, int b) { log << QStringLiteral("insert(%1,%2)").arg(a).arg(b); });
    connect(&V, &QAbstractItemModel::modelReset, &w, [&] { log << "reset"; });
    queue(static_cast<uint32_t>(shown + 1), static_cast<uint32_t>(shown + queued));
    w.Timer2Timer();
    QCOMPARE(log, signalsOfTick);
    const int last = shown + queued;
    QCOMPARE(V.RecordCount(), std::min(kMaxEventRecords, last - firstShown + 1));
    QCOMPARE(messageOf(w, 0), QStringLiteral("m%1").arg(firstShown));
    QCOMPARE(messageOf(w, V.RecordCount() - 1), QStringLiteral("m%1").arg(last));
    QVERIFY(LogItems.IsEmpty());
    QVERIFY(w.Timer2->isActive());
    // Sequence numbers go on from where the queue counts: the view shows them in order.
    const qint64 firstSeq = V.Values(0, 0).toLongLong();
    QCOMPARE(V.Values(V.RecordCount() - 1, 0).toLongLong(), firstSeq + V.RecordCount() - 1);
  }

  void focusRule() {
    Env env;
    TfrmETWViewer w(env.services());
    DataController& V = w.cxEventView->Controller();
    queue(1, 50);
    w.Timer2Timer();
    QCOMPARE(V.FocusedRowIndex(), 49);  // no row focused: the new last row
    queue(51, 60);
    w.Timer2Timer();
    QCOMPARE(V.FocusedRowIndex(), 59);  // on the last row: follows
    V.SetFocusedRowIndex(20);
    queue(61, 9990 + 20);  // the view overflows: the oldest records go
    w.Timer2Timer();
    QCOMPARE(V.RecordCount(), 10000);
    QCOMPARE(V.FocusedRowIndex(), 20);  // the same row index, now another record
    QCOMPARE(messageOf(w, V.RowRecordIndex(20)), QStringLiteral("m31"));  // 10 records went
    V.SetFocusedRowIndex(V.RowCount() - 1);
    queue(10011, 10015);
    w.Timer2Timer();
    QCOMPARE(V.FocusedRowIndex(), 9999);
    QCOMPARE(messageOf(w, V.RowRecordIndex(9999)), QStringLiteral("m10015"));
  }

  void levelWordAndValues() {
    Env env;
    TfrmETWViewer w(env.services());
    AddLogItem(0xFFFE0004u, -7, "C:\\a\\b.c", 12, "hello \xE4", timeOf(1234), 4000000000u, 77);
    AddLogItem(0x80000001u, 0, "", 0, "", kDay, 1, 2);
    w.Timer2Timer();
    const DataController& V = w.cxEventView->Controller();
    QCOMPARE(V.Values(0, 1).toString(), QStringLiteral("09-12-2025 06:00:01.234"));
    QCOMPARE(V.Values(0, 2).toInt(), 4);
    QCOMPARE(V.Values(0, 3).toInt(), -2);
    QCOMPARE(V.Values(0, 4).toLongLong(), 4000000000LL);
    QCOMPARE(V.Values(0, 5).toLongLong(), 77);
    QCOMPARE(V.Values(0, 6).toInt(), -7);
    QCOMPARE(V.Values(0, 8).toInt(), 12);
    QCOMPARE(V.Values(0, 9).toString(), QString::fromUtf8("hello \xC3\xA4"));  // Windows-1252 text
    QCOMPARE(V.Values(1, 2).toInt(), 1);
    QCOMPARE(V.Values(1, 3).toInt(), -32768);
  }

  void indicatorAndPrivilegesWarning() {
    Env env;
    TfrmETWViewer w(env.services());
    env.reader.status = 5;
    w.Timer2Timer();
    QCOMPARE(env.dialogs.size(), size_t{1});
    QCOMPARE(env.dialogs[0].Type, MsgDlgType::Warning);
    QCOMPARE(env.dialogs[0].Buttons, unsigned(mbOK));
    const QString text = env.dialogs[0].Text;
    QCOMPARE(text, QStringLiteral("Current user is not allowed to access the event log due to insufficient privileges.") +
                       QString(24, ' ') + "\r" +
                       "Please ask your administrator to add the following security group to your account:" +
                       QString(24, ' ') + "\r\r" + "BUILTIN\\Performance Log Users (5-1-5-32-559) (lusrmgr.msc)");
    QCOMPARE(w.ETWRunning->BrushColor(), QColor(255, 0, 0));
    w.Timer2Timer();
    QCOMPARE(env.dialogs.size(), size_t{1});  // once per run
    QCOMPARE(env.reader.flushes, 0);

    // A session that was processing once and stops with 5 later: no warning.
    Env env2;
    TfrmETWViewer w2(env2.services());
    env2.reader.processing = true;
    w2.Timer2Timer();
    QCOMPARE(w2.ETWRunning->BrushColor(), QColor(0, 255, 0));
    QCOMPARE(env2.reader.flushes, 1);
    w2.Timer2Timer();
    QCOMPARE(env2.reader.flushes, 2);
    env2.reader.processing = false;
    env2.reader.status = 5;
    w2.Timer2Timer();
    QCOMPARE(w2.ETWRunning->BrushColor(), QColor(255, 0, 0));
    QVERIFY(env2.dialogs.empty());
    // Another status leaves the indicator red, silently.
    Env env3;
    TfrmETWViewer w3(env3.services());
    env3.reader.status = 2;
    w3.Timer2Timer();
    QVERIFY(env3.dialogs.empty());
  }

  void levelChoice() {
    Env env;
    TfrmETWViewer w(env.services());
    env.reader.calls.clear();
    w.ComboBox1->setCurrentIndex(2);
    w.ComboBox1->setCurrentIndex(0);
    w.ComboBox1->setEditText(QStringLiteral("something else"));
    w.ComboBox1->setEditText(QStringLiteral("STANDARD (important + diagnose)"));
    QCOMPARE(env.reader.calls, (std::vector<std::string>{"filter:2", "filter:0", "filter:-1", "filter:1"}));
  }

  void freezeAndClear() {
    Env env;
    TfrmETWViewer w(env.services());
    queue(1, 100);
    w.Timer2Timer();
    w.SpeedButton1->click();  // down
    QCOMPARE(w.cxGrid1->ActiveLevel(), w.cxGrid1Level2);
    QCOMPARE(w.ActiveView(), w.cxEventView2);
    const DataController& frozen = w.cxEventView2->Controller();
    QCOMPARE(frozen.RecordCount(), 100);
    queue(101, 150);
    w.Timer2Timer();  // the live view goes on filling
    QCOMPARE(w.cxEventView->Controller().RecordCount(), 150);
    QCOMPARE(frozen.RecordCount(), 100);
    w.Label5Click();  // Clear while frozen: the snapshot only
    QCOMPARE(frozen.RecordCount(), 0);
    QCOMPARE(w.cxEventView->Controller().RecordCount(), 150);
    w.SpeedButton1->click();  // up
    QCOMPARE(w.ActiveView(), w.cxEventView);
    QCOMPARE(w.cxEventView->Controller().RecordCount(), 150);
    w.Label5Click();
    QCOMPARE(w.cxEventView->Controller().RecordCount(), 0);
    // The queue and the sequence numbers are not touched by Clear.
    queue(151, 151);
    w.Timer2Timer();
    QCOMPARE(messageOf(w, 0), QStringLiteral("m151"));
  }

  void failureWhileWriting() {
    Env env;
    FailingWindow w(env.services(), 5);
    queue(1, 20);
    w.Timer2Timer();
    QCOMPARE(env.dialogs.size(), size_t{1});
    QVERIFY(env.dialogs[0].IsException);
    QCOMPARE(env.dialogs[0].Text, QStringLiteral("row write failed"));
    QCOMPARE(w.cxEventView->Controller().RecordCount(), 5);  // the rest of that tick is lost
    QVERIFY(LogItems.IsEmpty());
    QVERIFY(w.Timer2->isActive());
    QVERIFY(!w.cxEventView->Controller().IsUpdating());
    // The queue is unlocked: another thread can add.
    std::thread producer([] { queue(21, 21); });
    producer.join();
    QVERIFY(!LogItems.IsEmpty());
  }

  void groupByLevelThenThread() {
    Env env;
    TfrmETWViewer w(env.services());
    queue(1, 10, 8);
    queue(11, 15, 2);
    w.Timer2Timer();
    auto action = [&](const QString& caption) {
      for (QAction* a : w.groupby1->actions())
        if (a->text() == caption) return a;
      return static_cast<QAction*>(nullptr);
    };
    action("Level")->trigger();
    const DataController& V = w.cxEventView->Controller();
    QCOMPARE(V.GroupingItem(), 2);
    QCOMPARE(V.GroupCount(), 2);
    QCOMPARE(V.GroupRowCaption(0), QStringLiteral("Level : 2 (5 records)"));
    action("Thread ID")->trigger();
    QCOMPARE(V.GroupingItem(), 5);  // Thread ID only
    QCOMPARE(V.GroupCount(), 5);
    action("Clear grouping")->trigger();
    QVERIFY(!V.IsGrouped());
    QCOMPARE(V.RowCount(), 15);
  }

  void useAsFilterNarrowsTwice() {
    Env env;
    TfrmETWViewer w(env.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    for (uint32_t n = 1; n <= 12; ++n)
      AddLogItem(n % 2 ? 4 : 8, 0, "f", 1, n % 3 ? "same text" : "other", timeOf(n), 1, 2);
    w.Timer2Timer();
    const DataController& V = w.cxEventView->Controller();
    GridViewWidget* gw = w.cxGrid1->ActiveWidget();
    auto hitAt = [&](int row, int item) {
      const QRect r = gw->CellRect(row, item);
      return w.cxGrid1->HitTest(gw->mapTo(w.cxGrid1, r.center()));
    };
    // A right-click on a header leaves "use as filter" disabled.
    GridHitTest header = w.cxGrid1->HitTest(gw->mapTo(w.cxGrid1, gw->HeaderRect(9).center()));
    QCOMPARE(header.Kind, HitKind::ColumnHeader);
    QCOMPARE(w.cxGridPopupMenu1->Popup(header, {}, false), w.pmEventView);
    QVERIFY(!w.useasfilter1->isEnabled());
    w.useasfilter1Click();
    QVERIFY(!V.Filter().Active());
    // Message cell of row 0 ("same text").
    GridHitTest hit = hitAt(0, 9);
    QCOMPARE(hit.Kind, HitKind::Cell);
    w.cxGridPopupMenu1->Popup(hit, {}, false);
    QVERIFY(w.useasfilter1->isEnabled());
    QCOMPARE(UseAsFilterColumn, w.cxEventViewMessage);
    w.useasfilter1Click();
    QCOMPARE(V.RowCount(), 8);
    // Level cell of the first remaining row (level 4): narrows further, beside the Message condition.
    hit = hitAt(0, 2);
    w.cxGridPopupMenu1->Popup(hit, {}, false);
    QCOMPARE(UseAsFilterValue.toInt(), 4);
    w.useasfilter1Click();
    QCOMPARE(V.RowCount(), 4);
    QCOMPARE(V.Filter().FilterText(w.cxEventView->Captions()), QStringLiteral("Message like 'same text' and Level like '4'"));
    // Again on a Message cell: its condition is replaced, not added.
    hit = hitAt(0, 9);
    w.cxGridPopupMenu1->Popup(hit, {}, false);
    w.useasfilter1Click();
    QCOMPARE(V.Filter().Root().Children.size(), size_t{2});
    QCOMPARE(V.RowCount(), 4);
    // The frozen view has no row-caption menu.
    w.SpeedButton1->click();
    GridViewWidget* fw = w.cxGrid1->ActiveWidget();
    GridHitTest caption = w.cxGrid1->HitTest(fw->mapTo(w.cxGrid1, fw->CellRect(0, -1).center()));
    QCOMPARE(caption.Kind, HitKind::RowCaption);
    QCOMPARE(w.cxGridPopupMenu1->MenuFor(caption), nullptr);
    QVERIFY(!w.useasfilter1->isEnabled() || w.cxGridPopupMenu1->Popup(caption, {}, false) == nullptr);
  }

  void imageIndexRule_data() {
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("user");
    QTest::addColumn<int>("image");
    const int rows[][3] = {{1, 0, 2},     {2, 0, 3},  {4, 0, 4},   {8, 0, 5},   {16, 0, 6},     {32, 0, 7},
                           {64, 0, 8},    {128, 0, 18}, {0xFFFF, 0, 1}, {0xFFFF, 5, 1}, {1, 5, 11}, {2, -1, 12},
                           {4, 3, 13},    {8, 3, 14}, {16, 3, 15}, {32, 3, 16}, {64, 3, 17},    {3, 0, 0},
                           {3, 7, 9},     {128, 1, 27}, {0, 0, 0}};
    for (const auto& r : rows) QTest::addRow("level %d user %d", r[0], r[1]) << r[0] << r[1] << r[2];
  }
  void imageIndexRule() {
    QFETCH(int, level);
    QFETCH(int, user);
    QFETCH(int, image);
    QCOMPARE(LevelImageIndex(level, user), image);
  }

  void levelCellsAreDrawnAsImages() {
    Env env;
    TfrmETWViewer w(env.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    AddLogItem(0x0001, 0, "", 0, "error", timeOf(1), 1, 1);
    AddLogItem(0x00050080, 0, "", 0, "level 128 with user", timeOf(2), 1, 1);
    w.Timer2Timer();
    w.cxEventView->Controller().SetFocusedRowIndex(-1);
    GridViewWidget* gw = w.cxGrid1->ActiveWidget();
    gw->Tree()->selectionModel()->clearSelection();
    const QImage img = gw->grab().toImage();
    auto reddish = [&](const QRect& cell) {
      int n = 0;
      for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x) {
          const QColor c = img.pixelColor(x, y);
          if (c.red() > 180 && c.green() < 80 && c.blue() < 80) ++n;
        }
      return n;
    };
    QVERIFY(reddish(gw->CellRect(0, 2)) > 20);  // the red cross
    QCOMPARE(reddish(gw->CellRect(1, 2)), 0);   // index 27: background only, no number
  }

  void fileTextAndHint_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("shown");
    QTest::newRow("folder cut") << "D:\\proj\\mod\\unit.src" << "unit.src";
    QTest::newRow("no backslash") << "unit.src" << "unit.src";
    QTest::newRow("ends with backslash") << "D:\\proj\\" << "";
    QTest::newRow("forward slashes stay") << "a/b/c.src" << "a/b/c.src";
  }
  void fileTextAndHint() {
    QFETCH(QString, value);
    QFETCH(QString, shown);
    Env env;
    TfrmETWViewer w(env.services());
    AddLogItem(8, 0, value.toStdString(), 0, "m", timeOf(1), 1, 1);
    w.Timer2Timer();
    for (TableView* v : {w.cxEventView, w.cxEventView2}) {
      if (v == w.cxEventView2) w.SpeedButton1->click();
      const DataController& V = v->Controller();
      QCOMPARE(V.DisplayText(0, 7), shown);
      QCOMPARE(V.indexOfRow(0, 7).data(Qt::ToolTipRole).toString(), value.isEmpty() ? QString() : value);
      QCOMPARE(V.Values(0, 7).toString(), value);  // the stored value keeps the full text
    }
  }

  void messageColumnFitting() {
    Env env;
    TfrmETWViewer w(env.services());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.resize(1000, 600);
    QTRY_COMPARE(w.width(), 1000);
    // Visible: Time 135 + Level 35 = 170 besides Message.
    QCOMPARE(w.cxEventViewMessage->Width(), 1000 - 170 - 32);
    w.cxEventViewFile->SetVisible(true);  // +150
    w.FormResize();
    QCOMPARE(w.cxEventViewMessage->Width(), 1000 - 320 - 32);
    const int before = w.cxEventViewMessage->Width();
    w.resize(370, 600);  // 370 - 320 = 50: too narrow, left as it is
    QCOMPARE(w.cxEventViewMessage->Width(), before);
    w.resize(380, 600);
    QCOMPARE(w.cxEventViewMessage->Width(), 380 - 320 - 32);
    w.cxEventViewMessage->SetVisible(false);
    w.resize(900, 600);
    QCOMPARE(w.cxEventViewMessage->Width(), 380 - 320 - 32);  // hidden: not fitted
  }

  void saveWithHiddenColumns() {
    Env env;
    TfrmETWViewer w(env.services());
    queue(1, 3);
    w.Timer2Timer();
    w.cxEventViewFile->SetVisible(false);
    w.cxEventViewLine->SetVisible(false);
    w.cxEventViewUser->SetVisible(false);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("events \u00e9.xls"));
    SaveDialog::SetExecuteHook([&](SaveDialog& d) {
      d.FileName = path;
      return true;
    });
    w.Label4Click();
    SaveDialog::SetExecuteHook(nullptr);
    QVERIFY(!w.cxEventViewFile->Visible());
    QVERIFY(!w.cxEventViewLine->Visible());
    QVERIFY(!w.cxEventViewUser->Visible());
    QVERIFY(w.cxEventViewMessage->Visible());
    QVERIFY(!w.cxEventViewSeq->Visible());
    const QJsonObject got = readXls(path);
    if (got.contains("skip")) QSKIP("python3-xlrd is not installed");
    QVERIFY2(!got.contains("error"), qPrintable(got.value("error").toString()));
    const QJsonArray rows = got.value("rows").toArray();
    QCOMPARE(rows.size(), 4);
    QStringList header;
    for (const auto& c : rows[0].toArray()) header << c.toArray()[1].toString();
    QCOMPARE(header, (QStringList{"Seq", "Time", "Level", "User", "Proccess ID", "Thread ID", "Cat..", "File", "Line", "Message"}));
    const QJsonArray first = rows[1].toArray();
    QCOMPARE(first[1].toArray(), (QJsonArray{"s", "09-12-2025 06:00:00.001"}));
    QCOMPARE(first[2].toArray(), (QJsonArray{"n", 8}));
    QCOMPARE(first[3].toArray(), (QJsonArray{"n", 0}));
    QCOMPARE(first[7].toArray(), (QJsonArray{"s", "D:\\proj\\mod\\unit1.src"}));
    QCOMPARE(first[8].toArray(), (QJsonArray{"n", 1}));
    QCOMPARE(first[9].toArray(), (QJsonArray{"s", "m1"}));
    // Cancel writes nothing; a file that cannot be written is reported and the columns come back.
    SaveDialog::SetExecuteHook([](SaveDialog&) { return false; });
    w.Label4Click();
    SaveDialog::SetExecuteHook([](SaveDialog& d) {
      d.FileName = "/nonexistent-folder/x.xls";
      return true;
    });
    w.Label4Click();
    SaveDialog::SetExecuteHook(nullptr);
    QCOMPARE(env.dialogs.size(), size_t{1});
    QVERIFY(env.dialogs[0].IsException);
    QVERIFY(!w.cxEventViewFile->Visible());
  }
};

QTEST_MAIN(TestMainWindow)
#include "tst_frmuMain.moc"
