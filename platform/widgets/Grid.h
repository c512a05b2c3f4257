// The grid control: levels of table views, one active at a time, each shown by a tree view with a
// filter bar beneath it; hit tests for popup menus; the grid's popup-menu component.
//
// A view's widget shows its DataController as the model. Rows are selected whole; the focused row of
// the controller and the tree's current row are kept in step (the controller is the truth). The view
// scrolls to the focused row only when it is the last row (following the tail), so the user's scroll
// position survives the updates of a live list. Uniform row heights.
//
// GUI thread only.
#pragma once

#include <QMenu>
#include <QPointer>
#include <QStackedLayout>
#include <QTreeView>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "platform/widgets/TableView.h"

class QCheckBox;
class QLabel;
class QToolButton;
class QStyledItemDelegate;

namespace lw::widgets {

class Grid;
class GridViewWidget;

enum class HitKind {
  None,         // outside the grid's parts (e.g. the filter bar, scroll bars)
  EmptyArea,    // the data area below the last row
  Cell,         // a data cell
  Record,       // a row outside its cells: a group row
  ColumnHeader, // a column's header
  RowCaption,   // the row indicator of a data row
  HeaderCorner, // the indicator's header (quick column customisation)
};

struct GridHitTest {
  HitKind Kind = HitKind::None;
  TableView* View = nullptr;
  GridColumn* Column = nullptr;  // Cell, ColumnHeader
  int RowIndex = -1;             // Cell, Record, RowCaption
  int RecordIndex = -1;          // Cell, RowCaption (-1 for group rows)
  bool IsGroupRow = false;
  QPoint Pos;  // in the grid's coordinates
};

class GridLevel {
 public:
  TableView* View() const { return view_; }
  GridViewWidget* Widget() const { return widget_; }

 private:
  friend class Grid;
  TableView* view_ = nullptr;
  GridViewWidget* widget_ = nullptr;
};

// The tree view of one table view.
class GridViewWidget : public QWidget {
  Q_OBJECT
 public:
  GridViewWidget(TableView& View, QWidget* Parent = nullptr);
  ~GridViewWidget() override;

  TableView& View() const { return view_; }
  QTreeView* Tree() const { return tree_; }
  QWidget* FilterBar() const { return filterBar_; }
  QLabel* FilterText() const { return filterText_; }
  QCheckBox* FilterCheck() const { return filterCheck_; }
  QToolButton* FilterClear() const { return filterClear_; }

  // Hit test at a point in this widget's coordinates.
  GridHitTest HitTest(const QPoint& Pos) const;
  // Visual rectangle of a cell in this widget's coordinates (empty when not shown).
  QRect CellRect(int Row, int Item) const;
  QRect HeaderRect(int Item) const;
  // The menu of the header: hide this column, and every customisable column as a check item.
  QMenu* CreateColumnsMenu(GridColumn* Clicked, QWidget* Parent);
  // Selected data rows as tab-separated display text of the visible columns, in row order.
  QString SelectedRowsText() const;
  void CopySelectionToClipboard() const;

 signals:
  void contextMenuRequested(const GridHitTest& Hit, const QPoint& GlobalPos);

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  void applyColumns();
  void applyColumn(int Index);
  void syncFocusFromController(int Row);
  void afterPublication();
  void updateFilterBar();
  void applyGroupRows();

  TableView& view_;
  QTreeView* tree_;
  QStyledItemDelegate* delegate_;
  QWidget* filterBar_;
  QCheckBox* filterCheck_;
  QLabel* filterText_;
  QToolButton* filterClear_;
  bool syncing_ = false;
};

class Grid : public QWidget {
  Q_OBJECT
 public:
  explicit Grid(QWidget* Parent = nullptr);
  ~Grid() override;

  GridLevel* AddLevel(TableView* View);
  int LevelCount() const { return static_cast<int>(levels_.size()); }
  GridLevel* Levels(int Index) const { return levels_[static_cast<size_t>(Index)].get(); }
  GridLevel* ActiveLevel() const { return active_; }
  void SetActiveLevel(GridLevel* Level);
  TableView* ActiveView() const;
  GridViewWidget* ActiveWidget() const;

  // Hit test at a point in the grid's coordinates, on the active view.
  GridHitTest HitTest(const QPoint& Pos) const;

 signals:
  void contextMenuRequested(const GridHitTest& Hit, const QPoint& GlobalPos);
  void activeLevelChanged();

 private:
  std::vector<std::unique_ptr<GridLevel>> levels_;
  GridLevel* active_ = nullptr;
  QStackedLayout* stack_;
};

// Popup menus for a grid by view and hit kind. OnPopup runs before a menu opens (every time when
// AlwaysFireOnPopup); it may veto the popup. With UseBuiltInPopupMenus the header gets the column menu.
class GridPopupMenu : public QObject {
  Q_OBJECT
 public:
  explicit GridPopupMenu(QObject* Parent = nullptr);
  void SetGrid(Grid* G);
  Grid* GridOf() const { return grid_; }
  void AddMenu(TableView* View, QMenu* Menu, std::vector<HitKind> Kinds);
  // The menu that a hit opens, or null.
  QMenu* MenuFor(const GridHitTest& Hit) const;
  bool UseBuiltInPopupMenus = false;
  bool AlwaysFireOnPopup = true;
  std::function<void(QMenu* Menu, const GridHitTest& Hit, bool& AllowPopup)> OnPopup;

  // Runs the popup for a hit as a right-click would; returns the menu that was (or would be) shown.
  // With Exec false the menu is prepared but not opened (for tests and keyboard use).
  QMenu* Popup(const GridHitTest& Hit, const QPoint& GlobalPos, bool Exec = true);

 private:
  struct Entry {
    TableView* View;
    QPointer<QMenu> Menu;
    std::vector<HitKind> Kinds;
  };
  std::vector<Entry> entries_;
  QPointer<Grid> grid_;
};

}  // namespace lw::widgets
