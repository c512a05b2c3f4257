// Filter conditions of a table view's data controller.
//
// A filter is a tree: the root is a group whose conditions (and nested groups) are combined with AND or
// OR. A condition compares one item (column index) with a value under an operator. Values are compared
// by the item's value type: numbers as numbers, texts without regard to case. foLike is the pattern
// match: "%" stands for any run of characters, "_" for one character, the whole text must match, case is
// ignored; a pattern without wildcards matches exactly that text.
//
// The filter is switched on and off (Active) without losing its conditions. Every change calls the
// owner's change callback once (so that the controller rebuilds its row list once). Not thread-safe:
// used on the GUI thread with its controller.
#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <vector>

namespace lw::widgets {

enum class ValueType { Text, Integer, Int64, Float };

enum FilterOperator {
  foEqual,
  foNotEqual,
  foLess,
  foLessEqual,
  foGreater,
  foGreaterEqual,
  foBetween,
  foNotBetween,
  foLike,
  foNotLike,
  foBlanks,
  foNonBlanks,
};
inline constexpr int kFilterOperatorCount = foNonBlanks + 1;

enum class FilterBoolOperator { And, Or };

// Human-readable name of an operator ("equals", "like", ...), as the builder and the filter bar show it.
QString filterOperatorName(FilterOperator Operator);
// Number of values the operator takes: 0 (blanks), 1, or 2 (between).
int filterOperatorArity(FilterOperator Operator);

// The pattern match of foLike.
bool likeMatch(QStringView Text, QStringView Pattern);

struct FilterNode {
  // A group when IsGroup; otherwise a condition.
  bool IsGroup = false;
  FilterBoolOperator BoolOperator = FilterBoolOperator::And;
  std::vector<FilterNode> Children;

  int Item = -1;
  FilterOperator Operator = foEqual;
  QVariant Value;
  QVariant Value2;
  QString DisplayText;

  static FilterNode group(FilterBoolOperator Op) {
    FilterNode n;
    n.IsGroup = true;
    n.BoolOperator = Op;
    return n;
  }
  static FilterNode condition(int Item, FilterOperator Op, const QVariant& Value, const QString& DisplayText = {},
                              const QVariant& Value2 = {}) {
    FilterNode n;
    n.Item = Item;
    n.Operator = Op;
    n.Value = Value;
    n.Value2 = Value2;
    n.DisplayText = DisplayText.isEmpty() ? Value.toString() : DisplayText;
    return n;
  }
  bool operator==(const FilterNode&) const = default;
};

// What a filter reads from one record.
class FilterSource {
 public:
  virtual ~FilterSource() = default;
  virtual QVariant value(int Item) const = 0;
  virtual ValueType valueType(int Item) const = 0;
};

class FilterCriteria {
 public:
  FilterCriteria() : root_(FilterNode::group(FilterBoolOperator::And)) {}

  const FilterNode& Root() const { return root_; }
  // Replaces the whole tree (the builder's OK). The root must be a group; a condition is wrapped in one.
  void SetRoot(const FilterNode& Root);
  // Appends a condition to the root group.
  void AddItem(int Item, FilterOperator Operator, const QVariant& Value, const QString& DisplayText);
  // Removes every condition on Item, at any depth; groups left empty are removed too.
  void RemoveItemConditions(int Item);
  void Clear();
  bool IsEmpty() const { return root_.Children.empty(); }

  bool Active() const { return active_; }
  void SetActive(bool Active);

  // True when the record passes: always when inactive or empty.
  bool Matches(const FilterSource& Source) const;
  static bool matchesNode(const FilterNode& Node, const FilterSource& Source);

  // The filter as text, with the captions of the items: Level like '4' and (File equals 'a' or ...).
  QString FilterText(const QStringList& Captions) const;

  // Called after every change (set by the controller).
  std::function<void()> OnChanged;

 private:
  void changed();
  FilterNode root_;
  bool active_ = false;
};

}  // namespace lw::widgets
