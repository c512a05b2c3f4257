// Unbound table view: columns, view options and the data controller that holds its records.
//
// The program writes every cell itself ("unbound"): records are appended, deleted and filled by index,
// values are read back by record and column (item) index. Record 0 is the oldest record still held.
//
// DataController is also the Qt item model of the view. Its records live in a ring buffer; the rows
// shown (after the filter, the one sort column and the grouping) are an index list of record keys. Records
// appended since the last publication are taken into that list past a watermark; the list is rebuilt
// only when the filter, the sort or the grouping changes (or an old record's sort/filter/group value is
// rewritten). Between BeginUpdate and EndUpdate nothing is announced; EndUpdate sends at most one
// rowsRemoved and one rowsInserted, or one reset when the batch alone replaces the rows (or the changes
// are not contiguous, or the view is grouped). Display text is made in data(), lazily.
//
// Model layout: column 0 is the row indicator (row caption), column i+1 is item i. Ungrouped: a flat
// list. Grouped: top-level group rows, the records of a group as their children.
//
// Rows: a row is a displayed line in the current order, group rows included, the records of collapsed
// groups excluded. RowCount and FocusedRowIndex count rows.
//
// Not thread-safe: GUI thread only.
#pragma once

#include <QAbstractItemModel>
#include <QBrush>
#include <QColor>
#include <QObject>
#include <QPainter>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/widgets/Filter.h"

namespace lw::widgets {

class TableView;
class DataController;

// A colour given in the platform's blue-green-red order (0x00BBGGRR).
inline QColor colorFromBgr(uint32_t Bgr) {
  return QColor(static_cast<int>(Bgr & 0xFFu), static_cast<int>((Bgr >> 8) & 0xFFu),
                static_cast<int>((Bgr >> 16) & 0xFFu));
}

enum class SortOrder { None, Ascending, Descending };

struct ColumnOptions {
  bool Editing = false;
  bool Sorting = true;  // the user may sort by clicking the header
  bool Grouping = true;
  bool Filtering = true;
  bool Moving = true;
  bool HorzSizing = true;
  bool Customizing = true;  // offered in the column customisation menus
};

// What a custom-draw handler gets: the canvas, the cell's content rectangle and the background brush
// that the grid chose for the cell (selection and content style included).
struct CustomDrawCellInfo {
  QPainter* Canvas = nullptr;
  QRect Bounds;
  QBrush Brush;
  const TableView* View = nullptr;
  int RecordIndex = -1;
  bool Selected = false;
};

class GridColumn {
 public:
  int Index() const { return index_; }
  TableView* View() const { return view_; }

  QString Name;  // designer name, informative only
  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& Caption);
  ValueType DataType() const { return type_; }
  void SetDataType(ValueType Type);
  bool Visible() const { return visible_; }
  void SetVisible(bool Visible);
  int Width() const { return width_; }
  void SetWidth(int Width);
  int MinWidth() const { return minWidth_; }
  void SetMinWidth(int MinWidth);
  Qt::Alignment HeaderAlignment() const { return headerAlignment_; }
  void SetHeaderAlignment(Qt::Alignment Alignment);
  ColumnOptions Options;
  // Sort by this column; the view has at most one sort column, so setting it clears the others.
  SortOrder SortOrderOf() const;
  void SetSortOrder(SortOrder Order);

  // Display text of a cell (default: the value as text). The stored value is not changed.
  std::function<void(const TableView& View, int RecordIndex, QString& Text)> OnGetDataText;
  // Hint (tool tip) of a cell; empty for none.
  std::function<void(const TableView& View, int RecordIndex, QString& Hint)> OnGetCellHint;
  // Draws a cell; set Done to keep the grid from drawing the text.
  std::function<void(CustomDrawCellInfo& Info, bool& Done)> OnCustomDrawCell;

 private:
  friend class TableView;
  GridColumn(TableView* View, int Index) : view_(View), index_(Index) {}
  void changed();
  TableView* view_;
  int index_;
  QString caption_;
  ValueType type_ = ValueType::Text;
  bool visible_ = true;
  int width_ = 64;
  int minWidth_ = 20;
  Qt::Alignment headerAlignment_ = Qt::AlignLeft | Qt::AlignVCenter;
};

struct GroupInfo {
  QVariant Value;
  std::vector<uint64_t> Keys;  // record keys, in the view's sort order
  bool Expanded = false;
};

class DataController : public QAbstractItemModel {
  Q_OBJECT
 public:
  static constexpr int kRecordIndexRole = Qt::UserRole + 1;
  static constexpr int kIsGroupRowRole = Qt::UserRole + 2;

  explicit DataController(TableView& View);
  ~DataController() override;

  // Records.
  int RecordCount() const { return static_cast<int>(count_); }
  void SetRecordCount(int Count);
  int AppendRecord();
  void DeleteRecord(int RecordIndex);
  QVariant Values(int RecordIndex, int Item) const;
  void SetValue(int RecordIndex, int Item, const QVariant& Value);
  // Display text of a cell: the column's OnGetDataText, or the value as text.
  QString DisplayText(int RecordIndex, int Item) const;
  // Replaces all records by a copy of Source's records (same columns expected; extra items are dropped).
  void AssignData(const DataController& Source);

  void BeginUpdate();
  void EndUpdate();
  bool IsUpdating() const { return lockCount_ > 0; }

  // Rows (displayed order).
  int RowCount() const;
  bool IsGroupRow(int Row) const;
  int RowRecordIndex(int Row) const;  // -1 for group rows and rows out of range
  int RowGroupIndex(int Row) const;   // the group a row belongs to, -1 when ungrouped
  int FilteredRecordCount() const;
  int FocusedRowIndex() const { return focusedRow_; }
  void SetFocusedRowIndex(int Row);
  QModelIndex indexOfRow(int Row, int Item = -1) const;
  int rowOfIndex(const QModelIndex& Index) const;

  // Sorting: one column at most.
  void SetSortItem(int Item, SortOrder Order);
  int SortItem() const { return sortItem_; }
  SortOrder SortOrderOf() const { return sortOrder_; }

  // Grouping: by one column at most.
  void ClearGrouping();
  void ChangeGrouping(int Item, int GroupIndex);
  int GroupingItem() const { return groupItem_; }
  bool IsGrouped() const { return groupItem_ >= 0; }
  int GroupCount() const { return static_cast<int>(groups_.size()); }
  const GroupInfo& Group(int GroupIndex) const { return groups_[static_cast<size_t>(GroupIndex)]; }
  QString GroupRowCaption(int GroupIndex) const;
  void SetGroupExpanded(int GroupIndex, bool Expanded);
  void FullExpand();

  FilterCriteria& Filter() { return filter_; }
  const FilterCriteria& Filter() const { return filter_; }

  // Record keys of the shown rows (flat views), for tests and the export.
  const std::vector<uint64_t>& ShownKeys() const { return rows_; }
  int RecordIndexOfKey(uint64_t Key) const;

  // QAbstractItemModel
  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // The view reports the user's focus here; ignored while a publication is under way.
  void setFocusedRowFromView(int Row);

 signals:
  void focusedRowChanged(int Row);
  void groupingChanged();
  void filterChanged();
  // After every publication (EndUpdate or rebuild).
  void published();

 private:
  friend class TableView;
  friend class GridColumn;
  size_t slot(size_t i) const { return (head_ + i) & (capacity_ - 1); }
  const QVariant* cellsOf(int Position) const;
  void reserve(size_t Count);
  void columnsChanged();
  int cols() const { return cols_; }
  bool lessKeys(uint64_t a, uint64_t b) const;
  int compareValues(const QVariant& a, const QVariant& b, ValueType Type) const;
  bool passesFilter(int Position) const;
  void requestRebuild();
  void publish();
  void rebuildRows();
  void publishFlat();
  void publishGrouped();
  std::vector<uint64_t> newKeys() const;
  void mergeIntoGroups(std::vector<uint64_t> Keys);
  void sortKeys(std::vector<uint64_t>& Keys) const;
  void updateRowStarts() const;
  void clampFocus();

  TableView& view_;
  int cols_ = 0;
  std::vector<QVariant> cells_;
  std::vector<uint64_t> keys_;
  size_t head_ = 0, count_ = 0, capacity_ = 0;
  uint64_t nextKey_ = 1;
  uint64_t watermark_ = 0;  // keys up to here are in the published rows (or were filtered out)
  int lockCount_ = 0;
  bool needRebuild_ = false;
  bool valuesChanged_ = false;
  bool publishing_ = false;
  bool filterWasEffective_ = false;

  std::vector<uint64_t> rows_;  // ungrouped
  std::vector<GroupInfo> groups_;  // grouped
  mutable std::vector<int> rowStarts_;  // row index of each group row
  mutable int groupedRowCount_ = 0;
  mutable bool rowStartsDirty_ = true;

  int sortItem_ = -1;
  SortOrder sortOrder_ = SortOrder::None;
  int groupItem_ = -1;
  int focusedRow_ = -1;
  FilterCriteria filter_;
};

struct ViewOptions {
  bool Editing = false, Inserting = false, Deleting = false;
  bool CellSelect = false;  // whole rows are selected when false
  bool MultiSelect = true;
  bool GroupByBox = false;
  bool Indicator = true;
  bool ColumnHiding = true;  // the user may hide columns
  bool ColumnsQuickCustomization = true;
  bool ColumnSorting = true;
  bool HorzScrollBar = false;
};

class TableView : public QObject {
  Q_OBJECT
 public:
  explicit TableView(QObject* Parent = nullptr);
  ~TableView() override;

  QString Name;
  GridColumn* CreateColumn();
  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  GridColumn* Columns(int Index) const { return columns_[static_cast<size_t>(Index)].get(); }
  GridColumn* ColumnByCaption(const QString& Caption) const;
  QStringList Captions() const;

  DataController& Controller() { return *controller_; }
  const DataController& Controller() const { return *controller_; }

  ViewOptions Options;
  // Background of the content cells (the content style); invalid for the platform's default.
  QColor ContentColor() const { return contentColor_; }
  void SetContentColor(const QColor& Color);

  // Takes Pattern's columns (with their events) and options; records and filters stay.
  void AssignPattern(const TableView& Pattern);

 signals:
  void columnsChanged();
  void columnChanged(int Index);
  void styleChanged();

 private:
  friend class GridColumn;
  std::vector<std::unique_ptr<GridColumn>> columns_;
  std::unique_ptr<DataController> controller_;
  QColor contentColor_;
};

}  // namespace lw::widgets
