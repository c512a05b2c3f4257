// The grid widget over a view: hit tests, custom drawing, hints, copying, the filter bar, column menus,
// focus following, the popup component and the filter builder.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>
#include <QTreeView>

#include "platform/widgets/FilterBuilder.h"
#include "platform/widgets/Grid.h"

using namespace lw::widgets;

namespace {
struct Fixture {
  TableView view;
  Grid grid;
  std::vector<int> drawnRecords;
  Fixture() {
    const char* caps[] = {"Seq", "Level", "File", "Message"};
    const ValueType types[] = {ValueType::Int64, ValueType::Integer, ValueType::Text, ValueType::Text};
    for (int i = 0; i < 4; ++i) {
      GridColumn* c = view.CreateColumn();
      c->SetCaption(caps[i]);
      c->SetDataType(types[i]);
      c->SetWidth(i == 3 ? 200 : 60);
    }
    view.Columns(2)->OnGetDataText = [](const TableView&, int, QString& t) { t = t.section('\\', -1); };
    view.Columns(2)->OnGetCellHint = [](const TableView& v, int rec, QString& h) { h = v.Controller().Values(rec, 2).toString(); };
    view.Columns(1)->OnCustomDrawCell = [this](CustomDrawCellInfo& info, bool& done) {
      drawnRecords.push_back(info.RecordIndex);
      info.Canvas->fillRect(info.Bounds, Qt::magenta);
      done = true;
    };
    grid.AddLevel(&view);
    grid.resize(500, 300);
  }
  DataController& dc() { return view.Controller(); }
  void append(int First, int Last) {
    dc().BeginUpdate();
    for (int s = First; s <= Last; ++s) {
      const int r = dc().AppendRecord();
      dc().SetValue(r, 0, qint64(s));
      dc().SetValue(r, 1, s % 2 ? 4 : 8);
      dc().SetValue(r, 2, QStringLiteral("D:\\proj\\mod\\u%1.src").arg(s));
      dc().SetValue(r, 3, QStringLiteral("message %1").arg(s));
    }
    dc().EndUpdate();
  }
  GridViewWidget* w() { return grid.ActiveWidget(); }
  QPoint center(const QRect& r) { return w()->mapTo(&grid, r.center()); }
};
}  // namespace

class TestGrid : public QObject {
  Q_OBJECT
 private slots:
  void hitTests() {
    Fixture f;
    f.append(1, 3);
    f.grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
    GridHitTest h = f.grid.HitTest(f.center(f.w()->CellRect(1, 3)));
    QCOMPARE(h.Kind, HitKind::Cell);
    QCOMPARE(h.Column, f.view.Columns(3));
    QCOMPARE(h.RecordIndex, 1);
    QCOMPARE(h.View, &f.view);
    h = f.grid.HitTest(f.center(f.w()->HeaderRect(2)));
    QCOMPARE(h.Kind, HitKind::ColumnHeader);
    QCOMPARE(h.Column, f.view.Columns(2));
    h = f.grid.HitTest(f.center(f.w()->CellRect(2, -1)));
    QCOMPARE(h.Kind, HitKind::RowCaption);
    QCOMPARE(h.RecordIndex, 2);
    h = f.grid.HitTest(QPoint(100, 280));
    QCOMPARE(h.Kind, HitKind::EmptyArea);
    f.dc().ChangeGrouping(1, 0);
    h = f.grid.HitTest(f.center(f.w()->CellRect(0, -1)));
    QCOMPARE(h.Kind, HitKind::Record);
    QVERIFY(h.IsGroupRow);
    QCOMPARE(h.RecordIndex, -1);
  }

  void customDrawHintsAndText() {
    Fixture f;
    QAbstractItemModelTester tester(&f.dc(), QAbstractItemModelTester::FailureReportingMode::QtTest);
    f.append(1, 2);
    f.grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
    const QImage img = f.grid.grab().toImage();
    QVERIFY(std::find(f.drawnRecords.begin(), f.drawnRecords.end(), 1) != f.drawnRecords.end());
    const QPoint c = f.center(f.w()->CellRect(1, 1));
    QCOMPARE(img.pixelColor(c), QColor(Qt::magenta));
    const QModelIndex file = f.dc().indexOfRow(0, 2);
    QCOMPARE(file.data().toString(), QStringLiteral("u1.src"));
    QCOMPARE(file.data(Qt::ToolTipRole).toString(), QStringLiteral("D:\\proj\\mod\\u1.src"));
    QVERIFY(!f.dc().indexOfRow(0, 3).data(Qt::ToolTipRole).isValid());
    // Content style.
    f.view.SetContentColor(colorFromBgr(0xFDF8B9));
    QCOMPARE(f.w()->Tree()->palette().color(QPalette::Base), QColor(185, 248, 253));
  }

  void copySelectedRows() {
    Fixture f;
    f.append(1, 4);
    f.view.Columns(0)->SetVisible(false);
    f.w()->Tree()->header()->moveSection(4, 2);  // Message before Level
    auto* sel = f.w()->Tree()->selectionModel();
    sel->select(f.dc().indexOfRow(3, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    sel->select(f.dc().indexOfRow(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QCOMPARE(f.w()->SelectedRowsText(), QStringLiteral("message 2\t8\tu2.src\nmessage 4\t8\tu4.src"));
    QTest::keySequence(f.w()->Tree(), QKeySequence::Copy);
    QCOMPARE(QGuiApplication::clipboard()->text(), f.w()->SelectedRowsText());
  }

  void filterBar() {
    Fixture f;
    f.append(1, 6);
    f.grid.show();
    QVERIFY(!f.w()->FilterBar()->isVisible());
    f.dc().Filter().AddItem(1, foLike, 4, QStringLiteral("4"));
    f.dc().Filter().SetActive(true);
    QVERIFY(f.w()->FilterBar()->isVisible());
    QCOMPARE(f.w()->FilterText()->text(), QStringLiteral("Level like '4'"));
    QVERIFY(f.w()->FilterCheck()->isChecked());
    QCOMPARE(f.dc().RowCount(), 3);
    f.w()->FilterCheck()->click();  // off: every row, the conditions stay
    QVERIFY(!f.dc().Filter().Active());
    QCOMPARE(f.dc().RowCount(), 6);
    QVERIFY(f.w()->FilterBar()->isVisible());
    f.w()->FilterCheck()->click();
    QCOMPARE(f.dc().RowCount(), 3);
    f.w()->FilterClear()->click();
    QVERIFY(f.dc().Filter().IsEmpty());
    QCOMPARE(f.dc().RowCount(), 6);
    QVERIFY(!f.w()->FilterBar()->isVisible());
  }

  void columnsMenuAndWidths() {
    Fixture f;
    f.view.Columns(2)->Options.Customizing = false;
    f.view.Columns(3)->SetMinWidth(100);
    QHeaderView* h = f.w()->Tree()->header();
    QMenu* m = f.w()->CreateColumnsMenu(f.view.Columns(3), nullptr);
    QStringList texts;
    for (QAction* a : m->actions())
      if (!a->isSeparator()) texts << a->text();
    QCOMPARE(texts, (QStringList{"Hide this column", "Seq", "Level", "Message"}));
    m->actions().first()->trigger();
    QVERIFY(!f.view.Columns(3)->Visible());
    QVERIFY(h->isSectionHidden(4));
    delete m;
    m = f.w()->CreateColumnsMenu(nullptr, nullptr);
    QCOMPARE(m->actions().size(), 3);  // no hide item without a clicked column
    QVERIFY(!m->actions().last()->isChecked());
    m->actions().last()->trigger();  // the Message item: checked again
    QVERIFY(f.view.Columns(3)->Visible());
    QVERIFY(!h->isSectionHidden(4));
    delete m;
    // The user cannot size a column below its minimum; a width set in code reaches the header.
    h->resizeSection(4, 30);
    QCOMPARE(h->sectionSize(4), 100);
    QCOMPARE(f.view.Columns(3)->Width(), 100);
    f.view.Columns(3)->SetWidth(250);
    QCOMPARE(h->sectionSize(4), 250);
    // A column that may not move is put back.
    f.view.Columns(0)->Options.Moving = false;
    h->moveSection(1, 3);
    QCOMPARE(h->visualIndex(1), 1);
  }

  void focusFollowsTheTailOnly() {
    Fixture f;
    f.grid.resize(500, 200);
    f.grid.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.grid));
    f.append(1, 200);
    QScrollBar* bar = f.w()->Tree()->verticalScrollBar();
    f.dc().SetFocusedRowIndex(f.dc().RowCount() - 1);
    QCOMPARE(bar->value(), bar->maximum());
    f.append(201, 210);
    f.dc().SetFocusedRowIndex(f.dc().RowCount() - 1);
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(f.w()->Tree()->currentIndex().row(), 209);
    // Focus in the middle: the scroll position stays where the user left it.
    bar->setValue(10);
    f.dc().SetFocusedRowIndex(100);
    QCOMPARE(bar->value(), 10);
    QCOMPARE(f.w()->Tree()->currentIndex().row(), 100);
    // The user's click reaches the controller.
    f.w()->Tree()->setCurrentIndex(f.dc().indexOfRow(5, 0));
    QCOMPARE(f.dc().FocusedRowIndex(), 5);
  }

  void levelsAndPopupMenu() {
    Fixture f;
    TableView frozen;
    frozen.AssignPattern(f.view);
    GridLevel* l2 = f.grid.AddLevel(&frozen);
    QCOMPARE(f.grid.ActiveView(), &f.view);
    QMenu menu;
    GridPopupMenu popup;
    popup.SetGrid(&f.grid);
    popup.AddMenu(&f.view, &menu, {HitKind::Cell, HitKind::RowCaption});
    popup.AddMenu(&frozen, &menu, {HitKind::Cell});
    std::vector<HitKind> fired;
    popup.OnPopup = [&](QMenu*, const GridHitTest& hit, bool&) { fired.push_back(hit.Kind); };
    GridHitTest hit;
    hit.View = &f.view;
    hit.Kind = HitKind::RowCaption;
    QCOMPARE(popup.Popup(hit, {}, false), &menu);
    f.grid.SetActiveLevel(l2);
    QCOMPARE(f.grid.ActiveView(), &frozen);
    hit.View = &frozen;
    QCOMPARE(popup.Popup(hit, {}, false), nullptr);  // no row-caption menu for this view
    hit.Kind = HitKind::Cell;
    QCOMPARE(popup.Popup(hit, {}, false), &menu);
    QCOMPARE(fired.size(), size_t{3});  // fired every time, with or without a menu
    popup.OnPopup = [](QMenu*, const GridHitTest&, bool& allow) { allow = false; };
    QCOMPARE(popup.Popup(hit, {}, false), nullptr);
  }

  void filterBuilder() {
    Fixture f;
    f.append(1, 10);
    FilterBuilderDialog d(f.view);
    // Level = 4 and (Seq < 3 or Message like '%9')
    d.AddCondition(d.RootGroup(), 1, foEqual, "4");
    QTreeWidgetItem* g = d.AddGroup(d.RootGroup(), FilterBoolOperator::Or);
    d.AddCondition(g, 0, foLess, "3");
    d.AddCondition(g, 3, foLike, "%9");
    d.Apply();
    QVERIFY(f.dc().Filter().Active());
    QList<qint64> seqs;
    for (int r = 0; r < f.dc().RowCount(); ++r) seqs << f.dc().Values(f.dc().RowRecordIndex(r), 0).toLongLong();
    QCOMPARE(seqs, (QList<qint64>{1, 9}));
    QCOMPARE(f.dc().Filter().FilterText(f.view.Captions()),
             QStringLiteral("Level equals '4' and (Seq is less than '3' or Message like '%9')"));
    // A second dialog starts from the view's filter and gives it back unchanged.
    FilterBuilderDialog again(f.view);
    QCOMPARE(again.Criteria(), f.dc().Filter().Root());
    // Between and blanks.
    FilterBuilderDialog third(f.view);
    third.SetCriteria(FilterNode::group(FilterBoolOperator::And));
    third.AddCondition(third.RootGroup(), 0, foBetween, "3", "5");
    third.AddCondition(third.RootGroup(), 2, foNonBlanks);
    third.Apply();
    QCOMPARE(f.dc().RowCount(), 3);
  }
};

QTEST_MAIN(TestGrid)
#include "tst_Grid.moc"
