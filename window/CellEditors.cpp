#include "window/CellEditors.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTreeView>

using namespace lw::widgets;

tCellEditors::tCellEditors(Grid& G, TableView& View) : QObject(&G), view_(View) {
  for (int i = 0; i < G.LevelCount(); ++i) {
    if (G.Levels(i)->View() == &View) {
      widget_ = G.Levels(i)->Widget();
      break;
    }
  }
  if (widget_) widget_->Tree()->viewport()->installEventFilter(this);
}

void tCellEditors::AddListColumn(GridColumn* Column, QStringList Items) {
  lists_[Column->Index()] = std::move(Items);
}

void tCellEditors::AddButtonColumn(GridColumn* Column, std::function<void()> OnClick) {
  buttons_[Column->Index()] = std::move(OnClick);
  Column->OnCustomDrawCell = [this](CustomDrawCellInfo& Info, bool& Done) {
    Info.Canvas->fillRect(Info.Bounds, Info.Brush);
    QStyleOptionButton o;
    o.rect = Info.Bounds.adjusted(1, 1, -1, -1);
    o.text = QStringLiteral("...");
    o.state = QStyle::State_Enabled | QStyle::State_Raised;
    QWidget* w = widget_ ? widget_->Tree() : nullptr;
    if (w) {
      o.initFrom(w);
      o.rect = Info.Bounds.adjusted(1, 1, -1, -1);
    }
    QApplication::style()->drawControl(QStyle::CE_PushButton, &o, Info.Canvas, w);
    Done = true;
  };
}

void tCellEditors::CloseList() {
  if (list_) list_->deleteLater();
  list_ = nullptr;
}

bool tCellEditors::EditCell(int Row, int Item) {
  const auto found = lists_.find(Item);
  DataController& dc = view_.Controller();
  const int record = dc.RowRecordIndex(Row);
  if (found == lists_.end() || record < 0 || !widget_ || dc.IsGrouped()) return false;
  CloseList();
  dc.SetFocusedRowIndex(Row);
  QTreeView* tree = widget_->Tree();
  auto* list = new QComboBox(tree->viewport());
  list->addItems(found->second);
  list->setCurrentIndex(static_cast<int>(found->second.indexOf(dc.Values(record, Item).toString())));
  list->setGeometry(tree->visualRect(dc.indexOfRow(Row, Item)));
  list_ = list;
  // The record is found again by its key when an item is picked: a timer may have deleted rows
  // while the list was open, and a deleted record is not written.
  const uint64_t key = view_.Controller().ShownKeys()[static_cast<size_t>(Row)];
  connect(list, &QComboBox::activated, this, [this, list, key, Item](int Index) {
    DataController& c = view_.Controller();
    const int r = c.RecordIndexOfKey(key);
    if (r >= 0 && Index >= 0) c.SetValue(r, Item, list->itemText(Index));
    CloseList();
  });
  list->show();
  list->setFocus();
  return true;
}

bool tCellEditors::ClickButton(int Row, int Item) {
  const auto found = buttons_.find(Item);
  DataController& dc = view_.Controller();
  if (found == buttons_.end() || dc.RowRecordIndex(Row) < 0) return false;
  CloseList();
  dc.SetFocusedRowIndex(Row);
  if (found->second) found->second();
  return true;
}

bool tCellEditors::eventFilter(QObject* Watched, QEvent* Event) {
  if (widget_ && Watched == widget_->Tree()->viewport() && Event->type() == QEvent::MouseButtonRelease) {
    auto* e = static_cast<QMouseEvent*>(Event);
    if (e->button() == Qt::LeftButton) {
      const GridHitTest hit = widget_->HitTest(widget_->mapFrom(widget_->Tree()->viewport(), e->position().toPoint()));
      if (hit.Kind == HitKind::Cell && hit.Column) {
        if (buttons_.count(hit.Column->Index())) return ClickButton(hit.RowIndex, hit.Column->Index());
        if (lists_.count(hit.Column->Index())) {
          EditCell(hit.RowIndex, hit.Column->Index());
          if (list_) list_->showPopup();
          return true;
        }
      }
    }
  }
  return QObject::eventFilter(Watched, Event);
}
