// The data controller as records, as an index list (sort, filter, grouping) and as an item model:
// QAbstractItemModelTester watches every test, and the signal sequence of an update is pinned.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <QTest>

#include "platform/widgets/TableView.h"

using namespace lw::widgets;

namespace {

// Records every structural signal of a model as text.
class SignalLog : public QObject {
 public:
  explicit SignalLog(QAbstractItemModel* M) {
    connect(M, &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex& p, int a, int b) { add("aboutToRemove", p, a, b); });
    connect(M, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex& p, int a, int b) { add("removed", p, a, b); });
    connect(M, &QAbstractItemModel::rowsAboutToBeInserted, this,
            [this](const QModelIndex& p, int a, int b) { add("aboutToInsert", p, a, b); });
    connect(M, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& p, int a, int b) { add("inserted", p, a, b); });
    connect(M, &QAbstractItemModel::modelAboutToBeReset, this, [this] { log << "aboutToReset"; });
    connect(M, &QAbstractItemModel::modelReset, this, [this] { log << "reset"; });
    connect(M, &QAbstractItemModel::layoutChanged, this, [this] { log << "layoutChanged"; });
  }
  QStringList take() {
    QStringList l = log;
    log.clear();
    return l;
  }
  QStringList log;

 private:
  void add(const char* what, const QModelIndex& p, int a, int b) {
    log << QStringLiteral("%1%2(%3,%4)").arg(QLatin1String(what), p.isValid() ? QStringLiteral("@child") : QString()).arg(a).arg(b);
  }
};

// A view like the event list: 0 Seq (int64), 1 Time (text), 2 Level (int), 3 Message (text).
struct Fixture {
  TableView view;
  QAbstractItemModelTester tester{&view.Controller(), QAbstractItemModelTester::FailureReportingMode::QtTest};
  Fixture() {
    const struct {
      const char* caption;
      ValueType type;
    } cols[] = {{"Seq", ValueType::Int64}, {"Time", ValueType::Text}, {"Level", ValueType::Integer}, {"Message", ValueType::Text}};
    for (const auto& c : cols) {
      GridColumn* col = view.CreateColumn();
      col->SetCaption(QString::fromLatin1(c.caption));
      col->SetDataType(c.type);
    }
  }
  DataController& dc() { return view.Controller(); }
  // Appends records seq First..Last with times in seconds = seq and level = seq % 3.
  void append(int First, int Last, bool InUpdate = true) {
    if (InUpdate) dc().BeginUpdate();
    for (int s = First; s <= Last; ++s) {
      const int r = dc().AppendRecord();
      dc().SetValue(r, 0, qint64(s));
      dc().SetValue(r, 1, QStringLiteral("01-01-2026 00:%1:%2.000").arg(s / 60, 2, 10, QLatin1Char('0')).arg(s % 60, 2, 10, QLatin1Char('0')));
      dc().SetValue(r, 2, s % 3);
      dc().SetValue(r, 3, QStringLiteral("message %1").arg(s));
    }
    if (InUpdate) dc().EndUpdate();
  }
  QList<qint64> shownSeqs() {
    QList<qint64> l;
    for (int row = 0; row < dc().RowCount(); ++row) {
      const int rec = dc().RowRecordIndex(row);
      if (rec >= 0) l << dc().Values(rec, 0).toLongLong();
    }
    return l;
  }
};

QList<qint64> range(qint64 a, qint64 b) {
  QList<qint64> l;
  for (qint64 i = a; i <= b; ++i) l << i;
  return l;
}

}  // namespace

class TestDataController : public QObject {
  Q_OBJECT
 private slots:
  void recordsByIndex() {
    Fixture f;
    f.append(1, 5);
    QCOMPARE(f.dc().RecordCount(), 5);
    QCOMPARE(f.dc().Values(0, 0).toLongLong(), 1);
    f.dc().DeleteRecord(0);
    f.dc().DeleteRecord(1);  // seq 3, a record in the middle
    QCOMPARE(f.dc().RecordCount(), 3);
    QCOMPARE(f.shownSeqs(), (QList<qint64>{2, 4, 5}));
    QCOMPARE(f.dc().Values(2, 3).toString(), QStringLiteral("message 5"));
    // Out of range reads and writes are harmless.
    QVERIFY(!f.dc().Values(3, 0).isValid());
    QVERIFY(!f.dc().Values(0, 9).isValid());
    f.dc().SetValue(-1, 0, 1);
    f.dc().DeleteRecord(7);
    QCOMPARE(f.dc().RecordCount(), 3);
    // The ring wraps and grows without losing order.
    f.dc().BeginUpdate();
    for (int i = 0; i < 100; ++i) {
      f.append(10 + i, 10 + i, false);
      f.dc().DeleteRecord(0);
    }
    f.dc().EndUpdate();
    QCOMPARE(f.shownSeqs(), range(107, 109));
    f.dc().SetRecordCount(0);
    QCOMPARE(f.dc().RowCount(), 0);
  }

  void signalSequenceOfAnUpdate() {
    Fixture f;
    SignalLog log(&f.dc());
    // Appending to an empty view: one insert.
    f.append(1, 100);
    QCOMPARE(log.take(), (QStringList{"aboutToInsert(0,99)", "inserted(0,99)"}));
    // Oldest records deleted and new ones appended in one update: one remove, one insert.
    f.dc().BeginUpdate();
    for (int i = 0; i < 30; ++i) f.dc().DeleteRecord(0);
    f.append(101, 130, false);
    f.dc().EndUpdate();
    QCOMPARE(log.take(), (QStringList{"aboutToRemove(0,29)", "removed(0,29)", "aboutToInsert(70,99)", "inserted(70,99)"}));
    QCOMPARE(f.shownSeqs(), range(31, 130));
    // The batch replaces everything: one reset.
    f.dc().BeginUpdate();
    f.dc().SetRecordCount(0);
    f.append(131, 230, false);
    f.dc().EndUpdate();
    QCOMPARE(log.take(), (QStringList{"aboutToReset", "reset"}));
    QCOMPARE(f.shownSeqs(), range(131, 230));
    // Nothing changed: no signal at all.
    f.dc().BeginUpdate();
    f.dc().EndUpdate();
    QCOMPARE(log.take(), QStringList());
  }

  void sortedViewTakesNewRowsPastTheWatermark() {
    Fixture f;
    f.view.Columns(1)->SetSortOrder(SortOrder::Ascending);
    f.append(10, 19);
    SignalLog log(&f.dc());
    // Later times: appended at the end, one insert.
    f.append(20, 24);
    QCOMPARE(log.take(), (QStringList{"aboutToInsert(10,14)", "inserted(10,14)"}));
    // Earlier times arriving late, all in one gap: one insert at the top.
    f.append(1, 3);
    QCOMPARE(log.take(), (QStringList{"aboutToInsert(0,2)", "inserted(0,2)"}));
    QCOMPARE(f.shownSeqs().mid(0, 4), (QList<qint64>{1, 2, 3, 10}));
    // New rows that land in two gaps cannot be one insert: one reset.
    f.dc().BeginUpdate();
    f.append(5, 5, false);
    f.append(30, 30, false);
    f.dc().EndUpdate();
    QCOMPARE(log.take(), (QStringList{"aboutToReset", "reset"}));
    QCOMPARE(f.shownSeqs(), (QList<qint64>{1, 2, 3, 5, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 30}));
    // Time is text: equal texts keep record order.
    f.dc().BeginUpdate();
    const int r = f.dc().AppendRecord();
    for (int c = 0; c < 4; ++c) f.dc().SetValue(r, c, f.dc().Values(15, c));  // record 15 is seq 1
    f.dc().EndUpdate();
    QCOMPARE(f.shownSeqs().mid(0, 3), (QList<qint64>{1, 1, 2}));
    QCOMPARE(f.dc().RowRecordIndex(1), f.dc().RecordCount() - 1);
    // Descending.
    f.view.Columns(1)->SetSortOrder(SortOrder::Descending);
    QCOMPARE(f.shownSeqs().first(), 30);
    QCOMPARE(f.view.Columns(1)->SortOrderOf(), SortOrder::Descending);
    QCOMPARE(f.view.Columns(0)->SortOrderOf(), SortOrder::None);
  }

  void filterRebuildsOnlyWhenChanged() {
    Fixture f;
    f.append(1, 30);
    SignalLog log(&f.dc());
    f.dc().Filter().AddItem(2, foEqual, 0, QStringLiteral("0"));
    QCOMPARE(log.take(), QStringList());  // not active yet: nothing to rebuild
    f.dc().Filter().SetActive(true);
    QCOMPARE(log.take(), (QStringList{"aboutToReset", "reset"}));
    QCOMPARE(f.shownSeqs(), (QList<qint64>{3, 6, 9, 12, 15, 18, 21, 24, 27, 30}));
    QCOMPARE(f.dc().FilteredRecordCount(), 10);
    // New records are tested as they come: no rebuild.
    f.append(31, 36);
    QCOMPARE(log.take(), (QStringList{"aboutToInsert(10,11)", "inserted(10,11)"}));
    QCOMPARE(f.shownSeqs().mid(10), (QList<qint64>{33, 36}));
    // Deleting records the filter hides sends nothing for them.
    f.dc().BeginUpdate();
    f.dc().DeleteRecord(0);
    f.dc().DeleteRecord(0);
    f.dc().EndUpdate();
    QCOMPARE(log.take(), QStringList());
    // Rewriting an old record's filtered value rebuilds.
    f.dc().SetValue(0, 2, 0);  // seq 3 was level 0 already; seq at record 0 is 3
    f.dc().SetValue(1, 2, 0);  // seq 4 becomes level 0
    QVERIFY(f.shownSeqs().contains(4));
    f.dc().Filter().SetActive(false);
    QCOMPARE(f.shownSeqs().size(), 34);
  }

  void groupingByOneColumn() {
    Fixture f;
    f.view.Columns(1)->SetSortOrder(SortOrder::Ascending);
    f.append(1, 10);
    f.dc().ChangeGrouping(2, 0);
    QVERIFY(f.dc().IsGrouped());
    QCOMPARE(f.dc().GroupCount(), 3);  // levels 0, 1, 2
    QCOMPARE(f.dc().GroupRowCaption(0), QStringLiteral("Level : 0 (3 records)"));
    QCOMPARE(f.dc().GroupRowCaption(1), QStringLiteral("Level : 1 (4 records)"));
    QCOMPARE(f.dc().RowCount(), 3);  // collapsed
    f.dc().SetGroupExpanded(1, true);
    QCOMPARE(f.dc().RowCount(), 7);
    QVERIFY(f.dc().IsGroupRow(1));
    QCOMPARE(f.dc().Values(f.dc().RowRecordIndex(2), 0).toLongLong(), 1);  // first of level 1, by time
    QCOMPARE(f.dc().RowRecordIndex(6), -1);                               // group row of level 2
    for (int row = 0; row < f.dc().RowCount(); ++row) QCOMPARE(f.dc().rowOfIndex(f.dc().indexOfRow(row)), row);
    // New records join their groups and open new ones; expanded groups stay expanded.
    SignalLog log(&f.dc());
    f.dc().BeginUpdate();
    f.dc().DeleteRecord(0);
    f.append(11, 12, false);
    const int r = f.dc().AppendRecord();
    f.dc().SetValue(r, 2, 7);
    f.dc().EndUpdate();
    QCOMPARE(log.take(), (QStringList{"aboutToReset", "reset"}));
    QCOMPARE(f.dc().GroupCount(), 4);
    QCOMPARE(f.dc().GroupRowCaption(1), QStringLiteral("Level : 1 (3 records)"));  // seq 1 gone
    QVERIFY(f.dc().Group(1).Expanded);
    QCOMPARE(f.dc().GroupRowCaption(3), QStringLiteral("Level : 7 (1 record)"));
    // A second grouping replaces the first; clearing gives the flat list back.
    f.dc().ChangeGrouping(3, 0);
    QCOMPARE(f.dc().GroupingItem(), 3);
    QCOMPARE(f.dc().GroupCount(), 12);
    f.dc().ClearGrouping();
    QVERIFY(!f.dc().IsGrouped());
    QCOMPARE(f.dc().RowCount(), 12);
  }

  void focusedRowIsClampedAfterRemovals() {
    Fixture f;
    f.append(1, 10);
    f.dc().SetFocusedRowIndex(9);
    QCOMPARE(f.dc().FocusedRowIndex(), 9);
    f.dc().BeginUpdate();
    for (int i = 0; i < 5; ++i) f.dc().DeleteRecord(0);
    f.dc().EndUpdate();
    QCOMPARE(f.dc().FocusedRowIndex(), 4);
    f.dc().SetFocusedRowIndex(40);
    QCOMPARE(f.dc().FocusedRowIndex(), 4);
    f.dc().SetRecordCount(0);
    QCOMPARE(f.dc().FocusedRowIndex(), -1);
  }

  void assignDataAndPattern() {
    Fixture live;
    live.view.Columns(1)->SetSortOrder(SortOrder::Ascending);
    live.view.Columns(3)->OnGetDataText = [](const TableView&, int, QString& t) { t = t.toUpper(); };
    live.append(1, 20);
    TableView frozen;
    QAbstractItemModelTester tester(&frozen.Controller(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    frozen.AssignPattern(live.view);
    QCOMPARE(frozen.ColumnCount(), 4);
    QCOMPARE(frozen.Columns(2)->Caption(), QStringLiteral("Level"));
    QCOMPARE(frozen.Controller().SortItem(), 1);
    frozen.Controller().AssignData(live.dc());
    QCOMPARE(frozen.Controller().RecordCount(), 20);
    QCOMPARE(frozen.Controller().DisplayText(0, 3), QStringLiteral("MESSAGE 1"));  // events copied too
    // The copy is independent of the source.
    live.dc().SetRecordCount(0);
    QCOMPARE(frozen.Controller().RecordCount(), 20);
    frozen.Controller().ChangeGrouping(2, 0);
    frozen.Controller().AssignData(live.dc());
    QCOMPARE(frozen.Controller().GroupCount(), 0);
  }
};

QTEST_MAIN(TestDataController)
#include "tst_DataController.moc"
