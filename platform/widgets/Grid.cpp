#include "platform/widgets/Grid.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace lw::widgets {

namespace {

constexpr int kIndicatorWidth = 14;
constexpr int kGroupIndent = 16;

// Draws the row indicator and the custom-drawn columns; everything else is the style's.
class GridDelegate final : public QStyledItemDelegate {
 public:
  GridDelegate(TableView& View, QTreeView* Tree) : QStyledItemDelegate(Tree), view_(View), tree_(Tree) {}

  // Rows fit a 16-pixel image with a pixel of margin, whatever the font.
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    QSize s = QStyledItemDelegate::sizeHint(option, index);
    s.setHeight(std::max(s.height(), 18));
    return s;
  }

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool groupRow = index.data(DataController::kIsGroupRowRole).toBool();
    if (groupRow) {
      QStyleOptionViewItem o(option);
      o.font.setBold(true);
      QStyledItemDelegate::paint(painter, o, index);
      return;
    }
    if (index.column() == 0) {
      painter->fillRect(option.rect, option.palette.button());
      if (tree_->currentIndex().isValid() && tree_->currentIndex().row() == index.row() &&
          tree_->currentIndex().parent() == index.parent()) {
        // The focused row's marker: a small triangle pointing right.
        const QRect r = option.rect;
        const int cx = r.right() - 7, cy = r.center().y();
        const QPoint tri[3] = {QPoint(cx - 2, cy - 4), QPoint(cx + 2, cy), QPoint(cx - 2, cy + 4)};
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        painter->setPen(Qt::NoPen);
        painter->setBrush(option.palette.windowText());
        painter->drawPolygon(tri, 3);
        painter->restore();
      }
      return;
    }
    const int item = index.column() - 1;
    GridColumn* col = item < view_.ColumnCount() ? view_.Columns(item) : nullptr;
    if (col && col->OnCustomDrawCell) {
      CustomDrawCellInfo info;
      info.Canvas = painter;
      info.Bounds = option.rect;
      info.Selected = option.state & QStyle::State_Selected;
      if (info.Selected) {
        info.Brush = option.palette.brush(
            option.state & QStyle::State_Active ? QPalette::Active : QPalette::Inactive, QPalette::Highlight);
      } else {
        const QVariant bg = index.data(Qt::BackgroundRole);
        info.Brush = bg.canConvert<QBrush>() ? bg.value<QBrush>() : option.palette.base();
      }
      info.View = &view_;
      info.RecordIndex = index.data(DataController::kRecordIndexRole).toInt();
      painter->save();
      painter->setBrush(info.Brush);
      bool done = false;
      col->OnCustomDrawCell(info, done);
      painter->restore();
      if (done) return;
    }
    QStyledItemDelegate::paint(painter, option, index);
  }

 private:
  TableView& view_;
  QTreeView* tree_;
};

}  // namespace

// ---------------------------------------------------------------- GridViewWidget

GridViewWidget::GridViewWidget(TableView& View, QWidget* Parent) : QWidget(Parent), view_(View) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  tree_ = new QTreeView(this);
  tree_->setObjectName(QStringLiteral("gridTree"));
  tree_->setModel(&view_.Controller());
  tree_->setUniformRowHeights(true);
  tree_->setSelectionBehavior(QAbstractItemView::SelectRows);
  tree_->setSelectionMode(view_.Options.MultiSelect ? QAbstractItemView::ExtendedSelection
                                                    : QAbstractItemView::SingleSelection);
  tree_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  tree_->setAllColumnsShowFocus(true);
  tree_->setHorizontalScrollBarPolicy(view_.Options.HorzScrollBar ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  tree_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  tree_->setRootIsDecorated(false);
  tree_->setIndentation(0);
  tree_->setContextMenuPolicy(Qt::PreventContextMenu);
  tree_->header()->setContextMenuPolicy(Qt::PreventContextMenu);
  tree_->header()->setStretchLastSection(false);
  tree_->header()->setSectionsMovable(true);
  tree_->header()->setSectionsClickable(true);
  tree_->header()->setMinimumSectionSize(8);
  delegate_ = new GridDelegate(view_, tree_);
  tree_->setItemDelegate(delegate_);
  tree_->installEventFilter(this);
  tree_->viewport()->installEventFilter(this);
  tree_->header()->installEventFilter(this);
  layout->addWidget(tree_, 1);

  filterBar_ = new QWidget(this);
  filterBar_->setObjectName(QStringLiteral("filterBar"));
  auto* fl = new QHBoxLayout(filterBar_);
  fl->setContentsMargins(4, 2, 4, 2);
  filterClear_ = new QToolButton(filterBar_);
  filterClear_->setText(QStringLiteral("\u00D7"));
  filterClear_->setToolTip(QStringLiteral("Clear the filter"));
  filterClear_->setAutoRaise(true);
  filterCheck_ = new QCheckBox(filterBar_);
  filterCheck_->setToolTip(QStringLiteral("Switch the filter on or off"));
  filterText_ = new QLabel(filterBar_);
  filterText_->setTextFormat(Qt::PlainText);
  fl->addWidget(filterClear_);
  fl->addWidget(filterCheck_);
  fl->addWidget(filterText_, 1);
  layout->addWidget(filterBar_);
  filterBar_->hide();

  DataController& c = view_.Controller();
  QHeaderView* h = tree_->header();
  connect(&view_, &TableView::columnsChanged, this, [this] { applyColumns(); });
  connect(&view_, &TableView::columnChanged, this, [this](int i) { applyColumn(i); });
  connect(&view_, &TableView::styleChanged, this, [this] {
    QPalette p = tree_->palette();
    p.setColor(QPalette::Base, view_.ContentColor().isValid() ? view_.ContentColor() : palette().color(QPalette::Base));
    tree_->setPalette(p);
  });
  connect(h, &QHeaderView::sectionResized, this, [this](int logical, int, int size) {
    if (syncing_ || logical == 0 || logical > view_.ColumnCount()) return;
    GridColumn* col = view_.Columns(logical - 1);
    if (size < col->MinWidth()) {
      syncing_ = true;
      tree_->header()->resizeSection(logical, col->MinWidth());
      syncing_ = false;
      size = col->MinWidth();
    }
    syncing_ = true;
    col->SetWidth(size);
    syncing_ = false;
  });
  connect(h, &QHeaderView::sectionMoved, this, [this](int logical, int oldVisual, int newVisual) {
    if (syncing_) return;
    const bool allowed = logical > 0 && newVisual > 0 && view_.Columns(logical - 1)->Options.Moving;
    if (!allowed) {
      syncing_ = true;
      tree_->header()->moveSection(newVisual, oldVisual);
      syncing_ = false;
    }
  });
  connect(h, &QHeaderView::sectionClicked, this, [this](int logical) {
    if (logical == 0) {
      if (!view_.Options.ColumnsQuickCustomization) return;
      QMenu* m = CreateColumnsMenu(nullptr, this);
      m->exec(tree_->header()->mapToGlobal(QPoint(0, tree_->header()->height())));
      m->deleteLater();
      return;
    }
    GridColumn* col = view_.Columns(logical - 1);
    if (!view_.Options.ColumnSorting || !col->Options.Sorting) return;
    col->SetSortOrder(col->SortOrderOf() == SortOrder::Ascending ? SortOrder::Descending : SortOrder::Ascending);
  });
  connect(&c, &DataController::focusedRowChanged, this, [this](int row) { syncFocusFromController(row); });
  connect(tree_->selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& cur) {
    if (!syncing_) view_.Controller().setFocusedRowFromView(view_.Controller().rowOfIndex(cur));
  });
  connect(&c, &QAbstractItemModel::modelReset, this, [this] { applyGroupRows(); });
  connect(&c, &DataController::groupingChanged, this, [this] { applyGroupRows(); });
  connect(tree_, &QTreeView::expanded, this, [this](const QModelIndex& i) {
    if (!syncing_ && !i.parent().isValid()) view_.Controller().SetGroupExpanded(i.row(), true);
  });
  connect(tree_, &QTreeView::collapsed, this, [this](const QModelIndex& i) {
    if (!syncing_ && !i.parent().isValid()) view_.Controller().SetGroupExpanded(i.row(), false);
  });
  connect(&c, &DataController::filterChanged, this, [this] { updateFilterBar(); });
  connect(filterCheck_, &QCheckBox::toggled, this, [this](bool on) {
    if (!syncing_) view_.Controller().Filter().SetActive(on);
  });
  connect(filterClear_, &QToolButton::clicked, this, [this] { view_.Controller().Filter().Clear(); });

  applyColumns();
  emit view_.styleChanged();
  applyGroupRows();
}

GridViewWidget::~GridViewWidget() = default;

void GridViewWidget::applyColumns() {
  QHeaderView* h = tree_->header();
  syncing_ = true;
  h->setSectionResizeMode(0, QHeaderView::Fixed);
  syncing_ = false;
  for (int i = 0; i < view_.ColumnCount(); ++i) applyColumn(i);
  applyGroupRows();
}

void GridViewWidget::applyColumn(int Index) {
  if (Index < 0 || Index >= view_.ColumnCount()) return;
  const GridColumn* col = view_.Columns(Index);
  QHeaderView* h = tree_->header();
  const int section = Index + 1;
  if (section >= h->count()) return;
  syncing_ = true;
  h->setSectionHidden(section, !col->Visible());
  h->setSectionResizeMode(section, col->Options.HorzSizing ? QHeaderView::Interactive : QHeaderView::Fixed);
  if (h->sectionSize(section) != col->Width()) h->resizeSection(section, col->Width());
  syncing_ = false;
}

void GridViewWidget::applyGroupRows() {
  DataController& c = view_.Controller();
  const bool grouped = c.IsGrouped();
  syncing_ = true;
  tree_->setRootIsDecorated(grouped);
  tree_->setIndentation(grouped ? kGroupIndent : 0);
  tree_->header()->resizeSection(0, kIndicatorWidth + (grouped ? kGroupIndent : 0));
  if (grouped) {
    for (int g = 0; g < c.GroupCount(); ++g) {
      tree_->setFirstColumnSpanned(g, QModelIndex(), true);
      if (c.Group(g).Expanded) tree_->expand(c.index(g, 0));
    }
  }
  syncing_ = false;
  syncFocusFromController(c.FocusedRowIndex());
}

void GridViewWidget::syncFocusFromController(int Row) {
  DataController& c = view_.Controller();
  syncing_ = true;
  const QModelIndex idx = c.indexOfRow(Row, -1);
  if (!idx.isValid()) {
    tree_->selectionModel()->clearCurrentIndex();
  } else {
    QScrollBar* bar = tree_->verticalScrollBar();
    const int scroll = bar->value();
    tree_->selectionModel()->setCurrentIndex(idx, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (Row == c.RowCount() - 1)
      tree_->scrollTo(idx, QAbstractItemView::PositionAtBottom);  // following the tail
    else
      bar->setValue(scroll);
  }
  syncing_ = false;
}

void GridViewWidget::updateFilterBar() {
  const FilterCriteria& f = view_.Controller().Filter();
  syncing_ = true;
  filterCheck_->setChecked(f.Active());
  syncing_ = false;
  filterText_->setText(f.FilterText(view_.Captions()));
  filterBar_->setVisible(!f.IsEmpty());
}

bool GridViewWidget::eventFilter(QObject* Watched, QEvent* Event) {
  if (Event->type() == QEvent::ContextMenu) {
    auto* e = static_cast<QContextMenuEvent*>(Event);
    const QPoint pos = static_cast<QWidget*>(Watched)->mapTo(this, e->pos());
    emit contextMenuRequested(HitTest(pos), e->globalPos());
    return true;
  }
  if (Watched == tree_ && Event->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(Event);
    if (k->matches(QKeySequence::Copy)) {
      CopySelectionToClipboard();
      return true;
    }
  }
  return QWidget::eventFilter(Watched, Event);
}

GridHitTest GridViewWidget::HitTest(const QPoint& Pos) const {
  GridHitTest hit;
  hit.View = &view_;
  hit.Pos = Pos;
  QHeaderView* h = tree_->header();
  if (h->isVisible() && h->geometry().contains(tree_->mapFrom(this, Pos))) {
    const QPoint local = h->mapFrom(this, Pos);
    const int logical = h->logicalIndexAt(local.x());
    if (logical == 0) {
      hit.Kind = HitKind::HeaderCorner;
    } else if (logical > 0) {
      hit.Kind = HitKind::ColumnHeader;
      hit.Column = view_.Columns(logical - 1);
    }
    return hit;
  }
  QWidget* vp = tree_->viewport();
  const QPoint local = vp->mapFrom(this, Pos);
  if (!vp->rect().contains(local)) return hit;
  const QModelIndex idx = tree_->indexAt(local);
  if (!idx.isValid()) {
    hit.Kind = HitKind::EmptyArea;
    return hit;
  }
  const DataController& c = view_.Controller();
  hit.RowIndex = c.rowOfIndex(idx);
  if (idx.data(DataController::kIsGroupRowRole).toBool()) {
    hit.Kind = HitKind::Record;
    hit.IsGroupRow = true;
    return hit;
  }
  hit.RecordIndex = idx.data(DataController::kRecordIndexRole).toInt();
  if (idx.column() == 0) {
    hit.Kind = HitKind::RowCaption;
  } else {
    hit.Kind = HitKind::Cell;
    hit.Column = view_.Columns(idx.column() - 1);
  }
  return hit;
}

QRect GridViewWidget::CellRect(int Row, int Item) const {
  const QModelIndex idx = view_.Controller().indexOfRow(Row, Item);
  if (!idx.isValid()) return {};
  const QRect r = tree_->visualRect(idx);
  if (r.isEmpty()) return {};
  return QRect(tree_->viewport()->mapTo(this, r.topLeft()), r.size());
}

QRect GridViewWidget::HeaderRect(int Item) const {
  QHeaderView* h = tree_->header();
  const int section = Item + 1;
  if (h->isSectionHidden(section)) return {};
  const QRect r(h->sectionViewportPosition(section), 0, h->sectionSize(section), h->height());
  return QRect(h->viewport()->mapTo(this, r.topLeft()), r.size());
}

QMenu* GridViewWidget::CreateColumnsMenu(GridColumn* Clicked, QWidget* Parent) {
  auto* m = new QMenu(Parent);
  if (Clicked && view_.Options.ColumnHiding && Clicked->Options.Customizing) {
    QAction* hide = m->addAction(QStringLiteral("Hide this column"));
    connect(hide, &QAction::triggered, this, [Clicked] { Clicked->SetVisible(false); });
    m->addSeparator();
  }
  for (int i = 0; i < view_.ColumnCount(); ++i) {
    GridColumn* col = view_.Columns(i);
    if (!col->Options.Customizing) continue;
    QAction* a = m->addAction(col->Caption());
    a->setCheckable(true);
    a->setChecked(col->Visible());
    a->setEnabled(view_.Options.ColumnHiding || !col->Visible());
    connect(a, &QAction::toggled, this, [col](bool on) { col->SetVisible(on); });
  }
  return m;
}

QString GridViewWidget::SelectedRowsText() const {
  const DataController& c = view_.Controller();
  std::vector<int> rows;
  for (const QModelIndex& i : tree_->selectionModel()->selectedRows(0)) {
    const int r = c.rowOfIndex(i);
    if (r >= 0) rows.push_back(r);
  }
  std::sort(rows.begin(), rows.end());
  QHeaderView* h = tree_->header();
  std::vector<int> items;
  for (int v = 0; v < h->count(); ++v) {
    const int logical = h->logicalIndex(v);
    if (logical > 0 && !h->isSectionHidden(logical)) items.push_back(logical - 1);
  }
  QStringList lines;
  for (int r : rows) {
    if (c.IsGroupRow(r)) {
      lines << c.GroupRowCaption(c.RowGroupIndex(r));
      continue;
    }
    const int rec = c.RowRecordIndex(r);
    QStringList cells;
    for (int item : items) cells << c.DisplayText(rec, item);
    lines << cells.join(QLatin1Char('\t'));
  }
  return lines.join(QLatin1Char('\n'));
}

void GridViewWidget::CopySelectionToClipboard() const {
  if (QClipboard* cb = QGuiApplication::clipboard()) cb->setText(SelectedRowsText());
}

// ---------------------------------------------------------------- Grid

Grid::Grid(QWidget* Parent) : QWidget(Parent), stack_(new QStackedLayout(this)) {
  stack_->setContentsMargins(0, 0, 0, 0);
}

Grid::~Grid() = default;

GridLevel* Grid::AddLevel(TableView* View) {
  auto level = std::make_unique<GridLevel>();
  level->view_ = View;
  level->widget_ = new GridViewWidget(*View, this);
  connect(level->widget_, &GridViewWidget::contextMenuRequested, this,
          [this, w = level->widget_](const GridHitTest& hit, const QPoint& global) {
            GridHitTest h = hit;
            h.Pos = w->mapTo(this, hit.Pos);
            emit contextMenuRequested(h, global);
          });
  stack_->addWidget(level->widget_);
  levels_.push_back(std::move(level));
  if (!active_) SetActiveLevel(levels_.back().get());
  return levels_.back().get();
}

void Grid::SetActiveLevel(GridLevel* Level) {
  if (!Level || Level == active_) return;
  active_ = Level;
  stack_->setCurrentWidget(Level->widget_);
  emit activeLevelChanged();
}

TableView* Grid::ActiveView() const { return active_ != nullptr ? active_->View() : nullptr; }
GridViewWidget* Grid::ActiveWidget() const { return active_ != nullptr ? active_->Widget() : nullptr; }

GridHitTest Grid::HitTest(const QPoint& Pos) const {
  if (!active_) return {};
  GridHitTest h = active_->widget_->HitTest(active_->widget_->mapFrom(this, Pos));
  h.Pos = Pos;
  return h;
}

// ---------------------------------------------------------------- GridPopupMenu

GridPopupMenu::GridPopupMenu(QObject* Parent) : QObject(Parent) {}

void GridPopupMenu::SetGrid(Grid* G) {
  if (grid_) disconnect(grid_, nullptr, this, nullptr);
  grid_ = G;
  if (G)
    connect(G, &Grid::contextMenuRequested, this,
            [this](const GridHitTest& hit, const QPoint& global) { Popup(hit, global, true); });
}

void GridPopupMenu::AddMenu(TableView* View, QMenu* Menu, std::vector<HitKind> Kinds) {
  entries_.push_back({View, Menu, std::move(Kinds)});
}

QMenu* GridPopupMenu::MenuFor(const GridHitTest& Hit) const {
  for (const auto& e : entries_) {
    if (e.View != Hit.View || !e.Menu) continue;
    if (std::find(e.Kinds.begin(), e.Kinds.end(), Hit.Kind) != e.Kinds.end()) return e.Menu;
  }
  return nullptr;
}

QMenu* GridPopupMenu::Popup(const GridHitTest& Hit, const QPoint& GlobalPos, bool Exec) {
  QMenu* menu = MenuFor(Hit);
  bool builtIn = false;
  Grid* grid = grid_.data();
  GridViewWidget* active = grid != nullptr ? grid->ActiveWidget() : nullptr;
  if (!menu && UseBuiltInPopupMenus && active != nullptr &&
      (Hit.Kind == HitKind::ColumnHeader || Hit.Kind == HitKind::HeaderCorner)) {
    menu = active->CreateColumnsMenu(Hit.Column, grid_);
    builtIn = true;
  }
  bool allow = true;
  if (OnPopup && (menu || AlwaysFireOnPopup)) OnPopup(menu, Hit, allow);
  if (menu && allow && Exec) menu->exec(GlobalPos);
  if (builtIn) {
    menu->deleteLater();
    return nullptr;
  }
  return allow ? menu : nullptr;
}

}  // namespace lw::widgets
