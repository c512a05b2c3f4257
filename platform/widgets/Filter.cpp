#include "platform/widgets/Filter.h"

#include <algorithm>

namespace lw::widgets {

QString filterOperatorName(FilterOperator Operator) {
  switch (Operator) {
    case foEqual: return QStringLiteral("equals");
    case foNotEqual: return QStringLiteral("does not equal");
    case foLess: return QStringLiteral("is less than");
    case foLessEqual: return QStringLiteral("is less than or equal to");
    case foGreater: return QStringLiteral("is greater than");
    case foGreaterEqual: return QStringLiteral("is greater than or equal to");
    case foBetween: return QStringLiteral("is between");
    case foNotBetween: return QStringLiteral("is not between");
    case foLike: return QStringLiteral("like");
    case foNotLike: return QStringLiteral("not like");
    case foBlanks: return QStringLiteral("is blank");
    case foNonBlanks: return QStringLiteral("is not blank");
  }
  return {};
}

int filterOperatorArity(FilterOperator Operator) {
  switch (Operator) {
    case foBlanks:
    case foNonBlanks: return 0;
    case foBetween:
    case foNotBetween: return 2;
    default: return 1;
  }
}

bool likeMatch(QStringView Text, QStringView Pattern) {
  // Greedy match with one back-tracking point: the last '%' seen. Linear in most patterns, at worst
  // text length times pattern length, never recursive.
  const qsizetype n = Text.size();
  const qsizetype m = Pattern.size();
  qsizetype t = 0, p = 0, starP = -1, starT = 0;
  while (t < n) {
    if (p < m && Pattern[p] == QLatin1Char('%')) {
      starP = p++;
      starT = t;
    } else if (p < m && (Pattern[p] == QLatin1Char('_') || Pattern[p].toCaseFolded() == Text[t].toCaseFolded())) {
      ++t;
      ++p;
    } else if (starP >= 0) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < m && Pattern[p] == QLatin1Char('%')) ++p;
  return p == m;
}

namespace {

bool isBlank(const QVariant& v) { return !v.isValid() || v.isNull() || v.toString().isEmpty(); }

// Three-way comparison by the item's type; false in ok when the value cannot be compared as that type.
int compareAs(const QVariant& a, const QVariant& b, ValueType type, bool& ok) {
  ok = true;
  if (type == ValueType::Text) {
    return QString::compare(a.toString(), b.toString(), Qt::CaseInsensitive);
  }
  bool okA = false, okB = false;
  if (type == ValueType::Float) {
    const double x = a.toDouble(&okA), y = b.toDouble(&okB);
    ok = okA && okB;
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  const qlonglong x = a.toLongLong(&okA), y = b.toLongLong(&okB);
  ok = okA && okB;
  return x < y ? -1 : (x > y ? 1 : 0);
}

bool matchCondition(const FilterNode& c, const FilterSource& src) {
  const QVariant v = src.value(c.Item);
  const ValueType type = src.valueType(c.Item);
  switch (c.Operator) {
    case foBlanks: return isBlank(v);
    case foNonBlanks: return !isBlank(v);
    case foLike: return likeMatch(v.toString(), c.Value.toString());
    case foNotLike: return !likeMatch(v.toString(), c.Value.toString());
    default: break;
  }
  if (isBlank(v)) return c.Operator == foNotEqual || c.Operator == foNotBetween;
  bool ok = false;
  const int r = compareAs(v, c.Value, type, ok);
  if (!ok) return c.Operator == foNotEqual || c.Operator == foNotBetween;
  switch (c.Operator) {
    case foEqual: return r == 0;
    case foNotEqual: return r != 0;
    case foLess: return r < 0;
    case foLessEqual: return r <= 0;
    case foGreater: return r > 0;
    case foGreaterEqual: return r >= 0;
    case foBetween:
    case foNotBetween: {
      bool ok2 = false;
      const int r2 = compareAs(v, c.Value2, type, ok2);
      const bool inside = ok2 && r >= 0 && r2 <= 0;
      return c.Operator == foBetween ? inside : !inside;
    }
    default: return false;
  }
}

bool removeItem(FilterNode& group, int item) {
  bool changed = false;
  auto& ch = group.Children;
  for (auto it = ch.begin(); it != ch.end();) {
    if (it->IsGroup) {
      changed = removeItem(*it, item) || changed;
      if (it->Children.empty()) {
        it = ch.erase(it);
        changed = true;
        continue;
      }
    } else if (it->Item == item) {
      it = ch.erase(it);
      changed = true;
      continue;
    }
    ++it;
  }
  return changed;
}

QString quoted(const QString& s) { return QLatin1Char('\'') + s + QLatin1Char('\''); }

QString nodeText(const FilterNode& n, const QStringList& captions, bool top) {
  if (!n.IsGroup) {
    const QString caption = n.Item >= 0 && n.Item < captions.size() ? captions[n.Item] : QStringLiteral("?");
    QString s = caption + QLatin1Char(' ') + filterOperatorName(n.Operator);
    const int arity = filterOperatorArity(n.Operator);
    if (arity >= 1) s += QLatin1Char(' ') + quoted(n.DisplayText.isEmpty() ? n.Value.toString() : n.DisplayText);
    if (arity == 2) s += QStringLiteral(" and ") + quoted(n.Value2.toString());
    return s;
  }
  QStringList parts;
  for (const auto& c : n.Children) parts << nodeText(c, captions, false);
  const QString joined = parts.join(n.BoolOperator == FilterBoolOperator::And ? QStringLiteral(" and ") : QStringLiteral(" or "));
  return top || parts.size() <= 1 ? joined : QLatin1Char('(') + joined + QLatin1Char(')');
}

}  // namespace

void FilterCriteria::changed() {
  if (OnChanged) OnChanged();
}

void FilterCriteria::SetRoot(const FilterNode& Root) {
  if (Root.IsGroup) {
    root_ = Root;
  } else {
    root_ = FilterNode::group(FilterBoolOperator::And);
    root_.Children.push_back(Root);
  }
  changed();
}

void FilterCriteria::AddItem(int Item, FilterOperator Operator, const QVariant& Value, const QString& DisplayText) {
  root_.Children.push_back(FilterNode::condition(Item, Operator, Value, DisplayText));
  changed();
}

void FilterCriteria::RemoveItemConditions(int Item) {
  if (removeItem(root_, Item)) changed();
}

void FilterCriteria::Clear() {
  root_ = FilterNode::group(FilterBoolOperator::And);
  active_ = false;
  changed();
}

void FilterCriteria::SetActive(bool Active) {
  if (active_ == Active) return;
  active_ = Active;
  changed();
}

bool FilterCriteria::matchesNode(const FilterNode& Node, const FilterSource& Source) {
  if (!Node.IsGroup) return matchCondition(Node, Source);
  if (Node.Children.empty()) return true;
  if (Node.BoolOperator == FilterBoolOperator::And) {
    return std::all_of(Node.Children.begin(), Node.Children.end(),
                       [&](const FilterNode& c) { return matchesNode(c, Source); });
  }
  return std::any_of(Node.Children.begin(), Node.Children.end(),
                     [&](const FilterNode& c) { return matchesNode(c, Source); });
}

bool FilterCriteria::Matches(const FilterSource& Source) const {
  if (!active_ || IsEmpty()) return true;
  return matchesNode(root_, Source);
}

QString FilterCriteria::FilterText(const QStringList& Captions) const { return nodeText(root_, Captions, true); }

}  // namespace lw::widgets
