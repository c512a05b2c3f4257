#include "platform/widgets/TableView.h"

#include <algorithm>

namespace lw::widgets {

// ---------------------------------------------------------------- GridColumn

void GridColumn::changed() { emit view_->columnChanged(index_); }

void GridColumn::SetCaption(const QString& Caption) {
  caption_ = Caption;
  changed();
}
void GridColumn::SetDataType(ValueType Type) {
  type_ = Type;
  view_->Controller().requestRebuild();
}
void GridColumn::SetVisible(bool Visible) {
  if (visible_ == Visible) return;
  visible_ = Visible;
  changed();
}
void GridColumn::SetWidth(int Width) {
  Width = std::max(Width, minWidth_);
  if (width_ == Width) return;
  width_ = Width;
  changed();
}
void GridColumn::SetMinWidth(int MinWidth) {
  minWidth_ = std::max(0, MinWidth);
  if (width_ < minWidth_) width_ = minWidth_;
  changed();
}
void GridColumn::SetHeaderAlignment(Qt::Alignment Alignment) {
  headerAlignment_ = Alignment;
  changed();
}
SortOrder GridColumn::SortOrderOf() const {
  const auto& c = view_->Controller();
  return c.SortItem() == index_ ? c.SortOrderOf() : SortOrder::None;
}
void GridColumn::SetSortOrder(SortOrder Order) { view_->Controller().SetSortItem(Order == SortOrder::None ? -1 : index_, Order); }

// ---------------------------------------------------------------- TableView

TableView::TableView(QObject* Parent) : QObject(Parent), controller_(std::make_unique<DataController>(*this)) {}
TableView::~TableView() = default;

GridColumn* TableView::CreateColumn() {
  columns_.push_back(std::unique_ptr<GridColumn>(new GridColumn(this, ColumnCount())));
  controller_->columnsChanged();
  emit columnsChanged();
  return columns_.back().get();
}

GridColumn* TableView::ColumnByCaption(const QString& Caption) const {
  for (const auto& c : columns_)
    if (c->Caption() == Caption) return c.get();
  return nullptr;
}

QStringList TableView::Captions() const {
  QStringList l;
  for (const auto& c : columns_) l << c->Caption();
  return l;
}

void TableView::SetContentColor(const QColor& Color) {
  contentColor_ = Color;
  emit styleChanged();
}

void TableView::AssignPattern(const TableView& Pattern) {
  Options = Pattern.Options;
  contentColor_ = Pattern.contentColor_;
  columns_.clear();
  for (const auto& src : Pattern.columns_) {
    auto c = std::unique_ptr<GridColumn>(new GridColumn(this, ColumnCount()));
    c->Name = src->Name;
    c->caption_ = src->caption_;
    c->type_ = src->type_;
    c->visible_ = src->visible_;
    c->width_ = src->width_;
    c->minWidth_ = src->minWidth_;
    c->headerAlignment_ = src->headerAlignment_;
    c->Options = src->Options;
    c->OnGetDataText = src->OnGetDataText;
    c->OnGetCellHint = src->OnGetCellHint;
    c->OnCustomDrawCell = src->OnCustomDrawCell;
    columns_.push_back(std::move(c));
  }
  controller_->columnsChanged();
  const auto& pc = Pattern.Controller();
  controller_->SetSortItem(pc.SortItem(), pc.SortOrderOf());
  emit columnsChanged();
  emit styleChanged();
}

// ---------------------------------------------------------------- DataController: records

DataController::DataController(TableView& View) : view_(View) {
  filter_.OnChanged = [this] {
    // Conditions of a filter that is off change no row.
    const bool effective = filter_.Active() && !filter_.IsEmpty();
    if (effective || filterWasEffective_) requestRebuild();
    filterWasEffective_ = effective;
    emit filterChanged();
  };
}

DataController::~DataController() = default;

void DataController::columnsChanged() {
  // Column set changed: the records are re-laid with the new width; values of kept items stay.
  const int newCols = view_.ColumnCount();
  beginResetModel();
  std::vector<QVariant> cells(capacity_ * static_cast<size_t>(newCols));
  for (size_t i = 0; i < count_; ++i) {
    const size_t s = slot(i);
    for (int c = 0; c < std::min(cols_, newCols); ++c)
      cells[s * static_cast<size_t>(newCols) + static_cast<size_t>(c)] =
          std::move(cells_[s * static_cast<size_t>(cols_) + static_cast<size_t>(c)]);
  }
  cells_ = std::move(cells);
  cols_ = newCols;
  if (sortItem_ >= cols_) sortItem_ = -1, sortOrder_ = SortOrder::None;
  if (groupItem_ >= cols_) groupItem_ = -1;
  rebuildRows();
  watermark_ = nextKey_ - 1;
  endResetModel();
}

void DataController::reserve(size_t Count) {
  if (Count <= capacity_) return;
  size_t cap = capacity_ ? capacity_ : 16;
  while (cap < Count) cap *= 2;
  std::vector<QVariant> cells(cap * static_cast<size_t>(cols_));
  std::vector<uint64_t> keys(cap);
  for (size_t i = 0; i < count_; ++i) {
    const size_t s = slot(i);
    keys[i] = keys_[s];
    for (size_t c = 0; c < static_cast<size_t>(cols_); ++c)
      cells[i * static_cast<size_t>(cols_) + c] = std::move(cells_[s * static_cast<size_t>(cols_) + c]);
  }
  cells_ = std::move(cells);
  keys_ = std::move(keys);
  capacity_ = cap;
  head_ = 0;
}

const QVariant* DataController::cellsOf(int Position) const {
  return cells_.data() + slot(static_cast<size_t>(Position)) * static_cast<size_t>(cols_);
}

int DataController::RecordIndexOfKey(uint64_t Key) const {
  if (count_ == 0) return -1;
  const uint64_t first = keys_[head_];
  if (Key < first) return -1;
  const uint64_t guess = Key - first;
  if (guess < count_ && keys_[slot(static_cast<size_t>(guess))] == Key) return static_cast<int>(guess);
  // Records were deleted in the middle: keys stay ascending, so search the part before the guess.
  size_t lo = 0, hi = static_cast<size_t>(std::min<uint64_t>(count_, guess + 1));
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (keys_[slot(mid)] < Key)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo < count_ && keys_[slot(lo)] == Key ? static_cast<int>(lo) : -1;
}

int DataController::AppendRecord() {
  BeginUpdate();
  reserve(count_ + 1);
  const size_t s = slot(count_);
  keys_[s] = nextKey_++;
  ++count_;
  EndUpdate();
  return static_cast<int>(count_ - 1);
}

void DataController::DeleteRecord(int RecordIndex) {
  if (RecordIndex < 0 || static_cast<size_t>(RecordIndex) >= count_) return;
  BeginUpdate();
  const size_t cols = static_cast<size_t>(cols_);
  if (RecordIndex == 0) {
    QVariant* c = cells_.data() + head_ * cols;
    for (size_t i = 0; i < cols; ++i) c[i] = QVariant();
    head_ = (head_ + 1) & (capacity_ - 1);
    --count_;
  } else {
    for (size_t i = static_cast<size_t>(RecordIndex); i + 1 < count_; ++i) {
      const size_t d = slot(i), s = slot(i + 1);
      keys_[d] = keys_[s];
      for (size_t c = 0; c < cols; ++c) cells_[d * cols + c] = std::move(cells_[s * cols + c]);
    }
    const size_t last = slot(count_ - 1);
    for (size_t c = 0; c < cols; ++c) cells_[last * cols + c] = QVariant();
    --count_;
  }
  if (count_ == 0) head_ = 0;
  EndUpdate();
}

void DataController::SetRecordCount(int Count) {
  Count = std::max(0, Count);
  BeginUpdate();
  if (Count == 0) {
    std::fill(cells_.begin(), cells_.end(), QVariant());
    head_ = 0;
    count_ = 0;
  } else {
    while (count_ > static_cast<size_t>(Count)) DeleteRecord(static_cast<int>(count_ - 1));
    while (count_ < static_cast<size_t>(Count)) AppendRecord();
  }
  EndUpdate();
}

QVariant DataController::Values(int RecordIndex, int Item) const {
  if (RecordIndex < 0 || static_cast<size_t>(RecordIndex) >= count_ || Item < 0 || Item >= cols_) return {};
  return cellsOf(RecordIndex)[Item];
}

void DataController::SetValue(int RecordIndex, int Item, const QVariant& Value) {
  if (RecordIndex < 0 || static_cast<size_t>(RecordIndex) >= count_ || Item < 0 || Item >= cols_) return;
  const size_t s = slot(static_cast<size_t>(RecordIndex));
  cells_[s * static_cast<size_t>(cols_) + static_cast<size_t>(Item)] = Value;
  if (keys_[s] <= watermark_) {
    // A record already placed: its place may change with a sort, group or filter value.
    if (Item == sortItem_ || Item == groupItem_ || (filter_.Active() && !filter_.IsEmpty()))
      requestRebuild();
    else
      valuesChanged_ = true;
    if (lockCount_ == 0) publish();
  }
}

QString DataController::DisplayText(int RecordIndex, int Item) const {
  if (Item < 0 || Item >= cols_) return {};
  QString text = Values(RecordIndex, Item).toString();
  const GridColumn* col = view_.Columns(Item);
  if (col->OnGetDataText) col->OnGetDataText(view_, RecordIndex, text);
  return text;
}

void DataController::AssignData(const DataController& Source) {
  BeginUpdate();
  SetRecordCount(0);
  reserve(Source.count_);
  const int n = std::min(cols_, Source.cols_);
  for (size_t i = 0; i < Source.count_; ++i) {
    const size_t s = slot(count_);
    keys_[s] = nextKey_++;
    const QVariant* src = Source.cellsOf(static_cast<int>(i));
    for (int c = 0; c < n; ++c) cells_[s * static_cast<size_t>(cols_) + static_cast<size_t>(c)] = src[c];
    ++count_;
  }
  for (auto& g : groups_) g.Expanded = false;
  needRebuild_ = true;
  EndUpdate();
}

void DataController::BeginUpdate() { ++lockCount_; }

void DataController::EndUpdate() {
  if (lockCount_ == 0) return;
  if (--lockCount_ == 0) publish();
}

// ---------------------------------------------------------------- order, filter, grouping

int DataController::compareValues(const QVariant& a, const QVariant& b, ValueType Type) const {
  const bool na = !a.isValid(), nb = !b.isValid();
  if (na || nb) return na == nb ? 0 : (na ? -1 : 1);
  switch (Type) {
    case ValueType::Text: return QString::compare(a.toString(), b.toString(), Qt::CaseInsensitive);
    case ValueType::Float: {
      const double x = a.toDouble(), y = b.toDouble();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    default: {
      const qlonglong x = a.toLongLong(), y = b.toLongLong();
      return x < y ? -1 : (x > y ? 1 : 0);
    }
  }
}

bool DataController::lessKeys(uint64_t a, uint64_t b) const {
  if (sortItem_ >= 0 && sortOrder_ != SortOrder::None) {
    const int pa = RecordIndexOfKey(a), pb = RecordIndexOfKey(b);
    const int r = compareValues(cellsOf(pa)[sortItem_], cellsOf(pb)[sortItem_], view_.Columns(sortItem_)->DataType());
    if (r != 0) return sortOrder_ == SortOrder::Ascending ? r < 0 : r > 0;
  }
  return a < b;  // record order keeps equal values stable
}

void DataController::sortKeys(std::vector<uint64_t>& Keys) const {
  if (sortItem_ < 0 || sortOrder_ == SortOrder::None) return;  // keys are in record order already
  auto less = [this](uint64_t a, uint64_t b) { return lessKeys(a, b); };
  if (!std::is_sorted(Keys.begin(), Keys.end(), less)) std::sort(Keys.begin(), Keys.end(), less);
}

namespace {
class RecordSource final : public FilterSource {
 public:
  RecordSource(const QVariant* Cells, const TableView& View) : cells_(Cells), view_(View) {}
  QVariant value(int Item) const override {
    return Item >= 0 && Item < view_.ColumnCount() ? cells_[Item] : QVariant();
  }
  ValueType valueType(int Item) const override {
    return Item >= 0 && Item < view_.ColumnCount() ? view_.Columns(Item)->DataType() : ValueType::Text;
  }

 private:
  const QVariant* cells_;
  const TableView& view_;
};
}  // namespace

bool DataController::passesFilter(int Position) const {
  if (!filter_.Active() || filter_.IsEmpty()) return true;
  return filter_.Matches(RecordSource(cellsOf(Position), view_));
}

void DataController::requestRebuild() {
  needRebuild_ = true;
  if (lockCount_ == 0) publish();
}

void DataController::SetSortItem(int Item, SortOrder Order) {
  if (Item < 0 || Item >= cols_ || Order == SortOrder::None) Item = -1, Order = SortOrder::None;
  if (Item == sortItem_ && Order == sortOrder_) return;
  sortItem_ = Item;
  sortOrder_ = Order;
  requestRebuild();
}

void DataController::ClearGrouping() {
  if (groupItem_ < 0) return;
  groupItem_ = -1;
  requestRebuild();
  emit groupingChanged();
}

void DataController::ChangeGrouping(int Item, int GroupIndex) {
  if (GroupIndex < 0) {
    if (Item == groupItem_) ClearGrouping();
    return;
  }
  if (Item < 0 || Item >= cols_ || Item == groupItem_) return;
  groupItem_ = Item;
  groups_.clear();
  requestRebuild();
  emit groupingChanged();
}

QString DataController::GroupRowCaption(int GroupIndex) const {
  if (GroupIndex < 0 || GroupIndex >= GroupCount() || groupItem_ < 0) return {};
  const GroupInfo& g = groups_[static_cast<size_t>(GroupIndex)];
  const GridColumn* col = view_.Columns(groupItem_);
  QString text = g.Value.toString();
  if (!g.Keys.empty()) text = DisplayText(RecordIndexOfKey(g.Keys.front()), groupItem_);
  const size_t n = g.Keys.size();
  return QStringLiteral("%1 : %2 (%3 %4)").arg(col->Caption(), text).arg(n).arg(n == 1 ? "record" : "records");
}

void DataController::SetGroupExpanded(int GroupIndex, bool Expanded) {
  if (GroupIndex < 0 || GroupIndex >= GroupCount()) return;
  auto& g = groups_[static_cast<size_t>(GroupIndex)];
  if (g.Expanded == Expanded) return;
  g.Expanded = Expanded;
  rowStartsDirty_ = true;
}

void DataController::FullExpand() {
  for (auto& g : groups_) g.Expanded = true;
  rowStartsDirty_ = true;
  beginResetModel();
  endResetModel();
  emit published();
}

// ---------------------------------------------------------------- publication

std::vector<uint64_t> DataController::newKeys() const {
  std::vector<uint64_t> out;
  // Keys ascend through the ring: find the first key past the watermark.
  size_t lo = 0, hi = count_;
  while (lo < hi) {
    const size_t mid = (lo + hi) / 2;
    if (keys_[slot(mid)] <= watermark_)
      lo = mid + 1;
    else
      hi = mid;
  }
  out.reserve(count_ - lo);
  for (size_t i = lo; i < count_; ++i)
    if (passesFilter(static_cast<int>(i))) out.push_back(keys_[slot(i)]);
  return out;
}

void DataController::rebuildRows() {
  rows_.clear();
  std::vector<uint64_t> keep;
  keep.reserve(count_);
  for (size_t i = 0; i < count_; ++i)
    if (passesFilter(static_cast<int>(i))) keep.push_back(keys_[slot(i)]);
  if (groupItem_ >= 0) {
    // Keep the expanded state of groups whose value survives.
    std::vector<GroupInfo> old = std::move(groups_);
    groups_.clear();
    mergeIntoGroups(std::move(keep));
    const ValueType t = view_.Columns(groupItem_)->DataType();
    size_t j = 0;
    for (auto& g : groups_) {
      while (j < old.size() && compareValues(old[j].Value, g.Value, t) < 0) ++j;
      if (j < old.size() && compareValues(old[j].Value, g.Value, t) == 0) g.Expanded = old[j].Expanded;
    }
  } else {
    groups_.clear();
    sortKeys(keep);
    rows_ = std::move(keep);
  }
  rowStartsDirty_ = true;
}

void DataController::mergeIntoGroups(std::vector<uint64_t> Keys) {
  if (Keys.empty()) return;
  const ValueType t = view_.Columns(groupItem_)->DataType();
  auto valueOf = [&](uint64_t k) -> const QVariant& { return cellsOf(RecordIndexOfKey(k))[groupItem_]; };
  std::stable_sort(Keys.begin(), Keys.end(),
                   [&](uint64_t a, uint64_t b) { return compareValues(valueOf(a), valueOf(b), t) < 0; });
  std::vector<GroupInfo> out;
  out.reserve(groups_.size() + 16);
  size_t i = 0, j = 0;
  auto takeRun = [&](std::vector<uint64_t>& into, const QVariant& v) {
    const size_t from = into.size();
    while (j < Keys.size() && compareValues(valueOf(Keys[j]), v, t) == 0) into.push_back(Keys[j++]);
    if (sortItem_ >= 0) {
      std::vector<uint64_t> added(into.begin() + static_cast<std::ptrdiff_t>(from), into.end());
      sortKeys(added);
      std::copy(added.begin(), added.end(), into.begin() + static_cast<std::ptrdiff_t>(from));
      std::inplace_merge(into.begin(), into.begin() + static_cast<std::ptrdiff_t>(from), into.end(),
                         [this](uint64_t a, uint64_t b) { return lessKeys(a, b); });
    }
  };
  while (i < groups_.size() || j < Keys.size()) {
    const int r = i == groups_.size() ? 1 : (j == Keys.size() ? -1 : compareValues(groups_[i].Value, valueOf(Keys[j]), t));
    if (r < 0) {
      out.push_back(std::move(groups_[i++]));
    } else if (r == 0) {
      out.push_back(std::move(groups_[i++]));
      takeRun(out.back().Keys, out.back().Value);
    } else {
      GroupInfo g;
      g.Value = valueOf(Keys[j]);
      takeRun(g.Keys, g.Value);
      out.push_back(std::move(g));
    }
  }
  groups_ = std::move(out);
}

void DataController::publish() {
  publishing_ = true;
  if (needRebuild_) {
    beginResetModel();
    rebuildRows();
    endResetModel();
  } else if (groupItem_ >= 0) {
    publishGrouped();
  } else {
    publishFlat();
  }
  if (valuesChanged_ && !needRebuild_) {
    const int n = rowCount();
    if (n > 0) emit dataChanged(index(0, 0), index(n - 1, columnCount() - 1));
  }
  needRebuild_ = false;
  valuesChanged_ = false;
  watermark_ = nextKey_ - 1;
  rowStartsDirty_ = true;
  publishing_ = false;
  clampFocus();
  emit published();
}

void DataController::publishFlat() {
  // Rows whose record is gone.
  size_t dead = 0, first = 0, last = 0;
  for (size_t r = 0; r < rows_.size(); ++r) {
    if (RecordIndexOfKey(rows_[r]) < 0) {
      if (dead++ == 0) first = r;
      last = r;
    }
  }
  std::vector<uint64_t> added = newKeys();
  sortKeys(added);
  const bool contiguous = dead == 0 || last - first + 1 == dead;
  if ((dead > 0 && dead == rows_.size() && !added.empty()) || !contiguous) {
    // The batch replaces everything, or the gaps are scattered: one reset.
    beginResetModel();
    std::erase_if(rows_, [this](uint64_t k) { return RecordIndexOfKey(k) < 0; });
    std::vector<uint64_t> merged;
    merged.reserve(rows_.size() + added.size());
    std::merge(rows_.begin(), rows_.end(), added.begin(), added.end(), std::back_inserter(merged),
               [this](uint64_t a, uint64_t b) { return lessKeys(a, b); });
    rows_ = std::move(merged);
    endResetModel();
    return;
  }
  if (dead > 0) {
    beginRemoveRows({}, static_cast<int>(first), static_cast<int>(last));
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(first), rows_.begin() + static_cast<std::ptrdiff_t>(last + 1));
    endRemoveRows();
  }
  if (added.empty()) return;
  auto less = [this](uint64_t a, uint64_t b) { return lessKeys(a, b); };
  const auto from = std::upper_bound(rows_.begin(), rows_.end(), added.front(), less);
  const auto to = std::upper_bound(rows_.begin(), rows_.end(), added.back(), less);
  if (from == to) {
    const int at = static_cast<int>(from - rows_.begin());
    beginInsertRows({}, at, at + static_cast<int>(added.size()) - 1);
    rows_.insert(rows_.begin() + at, added.begin(), added.end());
    endInsertRows();
  } else {
    beginResetModel();
    std::vector<uint64_t> merged;
    merged.reserve(rows_.size() + added.size());
    std::merge(rows_.begin(), rows_.end(), added.begin(), added.end(), std::back_inserter(merged), less);
    rows_ = std::move(merged);
    endResetModel();
  }
}

void DataController::publishGrouped() {
  bool anyDead = false;
  for (const auto& g : groups_)
    for (uint64_t k : g.Keys)
      if (RecordIndexOfKey(k) < 0) {
        anyDead = true;
        break;
      }
  std::vector<uint64_t> added = newKeys();
  if (!anyDead && added.empty()) return;
  // Records of many groups change at once: one reset; the groups keep their expanded state.
  beginResetModel();
  if (anyDead) {
    for (auto& g : groups_) std::erase_if(g.Keys, [this](uint64_t k) { return RecordIndexOfKey(k) < 0; });
    std::erase_if(groups_, [](const GroupInfo& g) { return g.Keys.empty(); });
  }
  mergeIntoGroups(std::move(added));
  rowStartsDirty_ = true;
  endResetModel();
}

// ---------------------------------------------------------------- rows and focus

void DataController::updateRowStarts() const {
  if (!rowStartsDirty_) return;
  rowStarts_.resize(groups_.size());
  int row = 0;
  for (size_t g = 0; g < groups_.size(); ++g) {
    rowStarts_[g] = row;
    row += 1 + (groups_[g].Expanded ? static_cast<int>(groups_[g].Keys.size()) : 0);
  }
  groupedRowCount_ = row;
  rowStartsDirty_ = false;
}

int DataController::RowCount() const {
  if (groupItem_ < 0) return static_cast<int>(rows_.size());
  updateRowStarts();
  return groupedRowCount_;
}

int DataController::FilteredRecordCount() const {
  if (groupItem_ < 0) return static_cast<int>(rows_.size());
  size_t n = 0;
  for (const auto& g : groups_) n += g.Keys.size();
  return static_cast<int>(n);
}

int DataController::RowGroupIndex(int Row) const {
  if (groupItem_ < 0 || Row < 0 || Row >= RowCount()) return -1;
  updateRowStarts();
  const auto it = std::upper_bound(rowStarts_.begin(), rowStarts_.end(), Row);
  return static_cast<int>(it - rowStarts_.begin()) - 1;
}

bool DataController::IsGroupRow(int Row) const {
  const int g = RowGroupIndex(Row);
  return g >= 0 && rowStarts_[static_cast<size_t>(g)] == Row;
}

int DataController::RowRecordIndex(int Row) const {
  if (Row < 0 || Row >= RowCount()) return -1;
  if (groupItem_ < 0) return RecordIndexOfKey(rows_[static_cast<size_t>(Row)]);
  const int g = RowGroupIndex(Row);
  const int child = Row - rowStarts_[static_cast<size_t>(g)] - 1;
  if (child < 0) return -1;
  return RecordIndexOfKey(groups_[static_cast<size_t>(g)].Keys[static_cast<size_t>(child)]);
}

QModelIndex DataController::indexOfRow(int Row, int Item) const {
  if (Row < 0 || Row >= RowCount()) return {};
  const int column = Item + 1;
  if (groupItem_ < 0) return index(Row, column);
  const int g = RowGroupIndex(Row);
  const int child = Row - rowStarts_[static_cast<size_t>(g)] - 1;
  const QModelIndex groupIndex = index(g, child < 0 ? column : 0);
  return child < 0 ? groupIndex : index(child, column, groupIndex);
}

int DataController::rowOfIndex(const QModelIndex& Index) const {
  if (!Index.isValid() || Index.model() != this) return -1;
  if (groupItem_ < 0) return Index.internalId() == 0 ? Index.row() : -1;
  updateRowStarts();
  if (Index.internalId() == 0) return Index.row() < GroupCount() ? rowStarts_[static_cast<size_t>(Index.row())] : -1;
  const size_t g = static_cast<size_t>(Index.internalId() - 1);
  if (g >= groups_.size() || !groups_[g].Expanded) return -1;
  return rowStarts_[g] + 1 + Index.row();
}

void DataController::clampFocus() {
  const int n = RowCount();
  int f = focusedRow_;
  if (f >= n) f = n - 1;
  if (f < -1) f = -1;
  focusedRow_ = f;
  emit focusedRowChanged(focusedRow_);
}

void DataController::SetFocusedRowIndex(int Row) {
  if (Row < -1 || Row >= RowCount()) Row = RowCount() > 0 ? std::clamp(Row, -1, RowCount() - 1) : -1;
  focusedRow_ = Row;
  emit focusedRowChanged(focusedRow_);
}

void DataController::setFocusedRowFromView(int Row) {
  if (publishing_ || lockCount_ > 0) return;
  focusedRow_ = Row;
}

// ---------------------------------------------------------------- QAbstractItemModel

QModelIndex DataController::index(int row, int column, const QModelIndex& parent) const {
  if (row < 0 || column < 0 || column >= columnCount()) return {};
  if (!parent.isValid()) {
    const size_t n = groupItem_ >= 0 ? groups_.size() : rows_.size();
    return static_cast<size_t>(row) < n ? createIndex(row, column, quintptr{0}) : QModelIndex();
  }
  if (groupItem_ < 0 || parent.internalId() != 0 || parent.column() != 0 || parent.model() != this) return {};
  const size_t g = static_cast<size_t>(parent.row());
  if (g >= groups_.size() || static_cast<size_t>(row) >= groups_[g].Keys.size()) return {};
  return createIndex(row, column, quintptr{g + 1});
}

QModelIndex DataController::parent(const QModelIndex& child) const {
  if (!child.isValid() || child.internalId() == 0) return {};
  return createIndex(static_cast<int>(child.internalId() - 1), 0, quintptr{0});
}

int DataController::rowCount(const QModelIndex& parent) const {
  if (!parent.isValid()) return static_cast<int>(groupItem_ >= 0 ? groups_.size() : rows_.size());
  if (groupItem_ < 0 || parent.internalId() != 0 || parent.column() != 0) return 0;
  const size_t g = static_cast<size_t>(parent.row());
  return g < groups_.size() ? static_cast<int>(groups_[g].Keys.size()) : 0;
}

int DataController::columnCount(const QModelIndex&) const { return 1 + cols_; }

QVariant DataController::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.model() != this) return {};
  const bool groupRow = groupItem_ >= 0 && index.internalId() == 0;
  if (role == kIsGroupRowRole) return groupRow;
  if (groupRow) {
    if (role == Qt::DisplayRole) return GroupRowCaption(index.row());
    if (role == kRecordIndexRole) return -1;
    return {};
  }
  uint64_t key = 0;
  if (groupItem_ < 0) {
    if (static_cast<size_t>(index.row()) >= rows_.size()) return {};
    key = rows_[static_cast<size_t>(index.row())];
  } else {
    const size_t g = static_cast<size_t>(index.internalId() - 1);
    if (g >= groups_.size() || static_cast<size_t>(index.row()) >= groups_[g].Keys.size()) return {};
    key = groups_[g].Keys[static_cast<size_t>(index.row())];
  }
  const int rec = RecordIndexOfKey(key);
  if (rec < 0) return {};
  const int item = index.column() - 1;
  switch (role) {
    case kRecordIndexRole: return rec;
    case Qt::DisplayRole: return item >= 0 ? QVariant(DisplayText(rec, item)) : QVariant();
    case Qt::ToolTipRole: {
      if (item < 0) return {};
      const GridColumn* col = view_.Columns(item);
      if (!col->OnGetCellHint) return {};
      QString hint;
      col->OnGetCellHint(view_, rec, hint);
      return hint.isEmpty() ? QVariant() : QVariant(hint);
    }
    case Qt::BackgroundRole:
      return view_.ContentColor().isValid() ? QVariant(QBrush(view_.ContentColor())) : QVariant();
    default: return {};
  }
}

QVariant DataController::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= columnCount()) return {};
  if (section == 0) return role == Qt::DisplayRole ? QVariant(QString()) : QVariant();
  const GridColumn* col = view_.Columns(section - 1);
  if (role == Qt::DisplayRole) return col->Caption();
  if (role == Qt::TextAlignmentRole) return QVariant::fromValue(col->HeaderAlignment());
  return {};
}

Qt::ItemFlags DataController::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (groupItem_ < 0 || index.internalId() != 0) f |= Qt::ItemNeverHasChildren;
  return f;
}

}  // namespace lw::widgets
