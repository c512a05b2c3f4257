#include "platform/widgets/FilterBuilder.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/widgets/TableView.h"

namespace lw::widgets {

namespace {
constexpr int kIsGroupRole = Qt::UserRole + 10;
enum Col { kColWhat = 0, kColOperator = 1, kColValue = 2, kColValue2 = 3 };

const FilterOperator kOperators[] = {foEqual,        foNotEqual, foLess,       foLessEqual, foGreater, foGreaterEqual,
                                     foBetween,      foNotBetween, foLike,     foNotLike,   foBlanks,  foNonBlanks};

QVariant valueFromText(const QString& text, ValueType type) {
  if (type == ValueType::Integer || type == ValueType::Int64) {
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok);
    if (ok) return v;
  } else if (type == ValueType::Float) {
    bool ok = false;
    const double v = text.trimmed().toDouble(&ok);
    if (ok) return v;
  }
  return text;
}
}  // namespace

FilterBuilderDialog::FilterBuilderDialog(TableView& View, QWidget* Parent) : QDialog(Parent), view_(View) {
  setWindowTitle(QStringLiteral("Filter builder"));
  resize(640, 360);
  auto* layout = new QVBoxLayout(this);
  tree_ = new QTreeWidget(this);
  tree_->setColumnCount(4);
  tree_->setHeaderLabels({QStringLiteral("Column / group"), QStringLiteral("Operator"), QStringLiteral("Value"),
                          QStringLiteral("Second value")});
  tree_->header()->setSectionResizeMode(QHeaderView::Stretch);
  layout->addWidget(tree_, 1);
  auto* buttons = new QHBoxLayout;
  auto* addCond = new QPushButton(QStringLiteral("Add condition"), this);
  auto* addGroup = new QPushButton(QStringLiteral("Add group"), this);
  auto* remove = new QPushButton(QStringLiteral("Remove"), this);
  buttons->addWidget(addCond);
  buttons->addWidget(addGroup);
  buttons->addWidget(remove);
  buttons->addStretch(1);
  layout->addLayout(buttons);
  preview_ = new QLabel(this);
  preview_->setWordWrap(true);
  preview_->setTextFormat(Qt::PlainText);
  layout->addWidget(preview_);
  auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(box);

  connect(addCond, &QPushButton::clicked, this, [this] {
    int item = 0;
    for (int i = 0; i < view_.ColumnCount(); ++i)
      if (view_.Columns(i)->Options.Filtering) {
        item = i;
        break;
      }
    AddCondition(selectedGroup(), item, foEqual);
  });
  connect(addGroup, &QPushButton::clicked, this, [this] { AddGroup(selectedGroup(), FilterBoolOperator::Or); });
  connect(remove, &QPushButton::clicked, this, [this] {
    if (QTreeWidgetItem* it = tree_->currentItem()) RemoveItem(it);
  });
  connect(box, &QDialogButtonBox::accepted, this, [this] {
    Apply();
    accept();
  });
  connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* root = new QTreeWidgetItem(tree_);
  root->setData(kColWhat, kIsGroupRole, true);
  auto* op = new QComboBox(tree_);
  op->addItems({QStringLiteral("AND"), QStringLiteral("OR")});
  tree_->setItemWidget(root, kColWhat, op);
  connect(op, &QComboBox::currentIndexChanged, this, [this] { updatePreview(); });
  SetCriteria(View.Controller().Filter().Root());
}

QTreeWidgetItem* FilterBuilderDialog::RootGroup() const { return tree_->topLevelItem(0); }

QTreeWidgetItem* FilterBuilderDialog::selectedGroup() const {
  QTreeWidgetItem* it = tree_->currentItem();
  while (it && !it->data(kColWhat, kIsGroupRole).toBool()) it = it->parent();
  return it ? it : RootGroup();
}

QTreeWidgetItem* FilterBuilderDialog::AddGroup(QTreeWidgetItem* Group, FilterBoolOperator Operator) {
  if (!Group) Group = RootGroup();
  auto* it = new QTreeWidgetItem(Group);
  it->setData(kColWhat, kIsGroupRole, true);
  auto* op = new QComboBox(tree_);
  op->addItems({QStringLiteral("AND"), QStringLiteral("OR")});
  op->setCurrentIndex(Operator == FilterBoolOperator::Or ? 1 : 0);
  tree_->setItemWidget(it, kColWhat, op);
  connect(op, &QComboBox::currentIndexChanged, this, [this] { updatePreview(); });
  Group->setExpanded(true);
  tree_->setCurrentItem(it);
  updatePreview();
  return it;
}

void FilterBuilderDialog::SetBoolOperator(QTreeWidgetItem* Group, FilterBoolOperator Operator) {
  if (auto* op = qobject_cast<QComboBox*>(tree_->itemWidget(Group, kColWhat)))
    op->setCurrentIndex(Operator == FilterBoolOperator::Or ? 1 : 0);
}

QTreeWidgetItem* FilterBuilderDialog::AddCondition(QTreeWidgetItem* Group, int Item, FilterOperator Operator,
                                                   const QString& Value, const QString& Value2) {
  if (!Group) Group = RootGroup();
  auto* it = new QTreeWidgetItem(Group);
  it->setData(kColWhat, kIsGroupRole, false);
  auto* column = new QComboBox(tree_);
  for (int i = 0; i < view_.ColumnCount(); ++i)
    if (view_.Columns(i)->Options.Filtering || i == Item) column->addItem(view_.Columns(i)->Caption(), i);
  column->setCurrentIndex(std::max(0, column->findData(Item)));
  auto* op = new QComboBox(tree_);
  for (FilterOperator o : kOperators) op->addItem(filterOperatorName(o), static_cast<int>(o));
  op->setCurrentIndex(std::max(0, op->findData(static_cast<int>(Operator))));
  auto* v1 = new QLineEdit(Value, tree_);
  auto* v2 = new QLineEdit(Value2, tree_);
  tree_->setItemWidget(it, kColWhat, column);
  tree_->setItemWidget(it, kColOperator, op);
  tree_->setItemWidget(it, kColValue, v1);
  tree_->setItemWidget(it, kColValue2, v2);
  auto arity = [op, v1, v2] {
    const int a = filterOperatorArity(static_cast<FilterOperator>(op->currentData().toInt()));
    v1->setEnabled(a >= 1);
    v2->setEnabled(a >= 2);
  };
  arity();
  connect(op, &QComboBox::currentIndexChanged, this, [this, arity] {
    arity();
    updatePreview();
  });
  connect(column, &QComboBox::currentIndexChanged, this, [this] { updatePreview(); });
  connect(v1, &QLineEdit::textChanged, this, [this] { updatePreview(); });
  connect(v2, &QLineEdit::textChanged, this, [this] { updatePreview(); });
  Group->setExpanded(true);
  updatePreview();
  return it;
}

void FilterBuilderDialog::RemoveItem(QTreeWidgetItem* Item) {
  if (!Item || Item == RootGroup()) return;
  delete Item;
  updatePreview();
}

FilterNode FilterBuilderDialog::nodeOf(QTreeWidgetItem* Item) const {
  if (Item->data(kColWhat, kIsGroupRole).toBool()) {
    auto* op = qobject_cast<QComboBox*>(tree_->itemWidget(Item, kColWhat));
    FilterNode g = FilterNode::group(op && op->currentIndex() == 1 ? FilterBoolOperator::Or : FilterBoolOperator::And);
    for (int i = 0; i < Item->childCount(); ++i) {
      FilterNode c = nodeOf(Item->child(i));
      if (c.IsGroup && c.Children.empty()) continue;
      g.Children.push_back(std::move(c));
    }
    return g;
  }
  const auto* column = qobject_cast<QComboBox*>(tree_->itemWidget(Item, kColWhat));
  const auto* op = qobject_cast<QComboBox*>(tree_->itemWidget(Item, kColOperator));
  const auto* v1 = qobject_cast<QLineEdit*>(tree_->itemWidget(Item, kColValue));
  const auto* v2 = qobject_cast<QLineEdit*>(tree_->itemWidget(Item, kColValue2));
  const int item = column->currentData().toInt();
  const FilterOperator o = static_cast<FilterOperator>(op->currentData().toInt());
  const ValueType type = view_.Columns(item)->DataType();
  const bool text = o == foLike || o == foNotLike;
  const QVariant a = text ? QVariant(v1->text()) : valueFromText(v1->text(), type);
  const QVariant b = valueFromText(v2->text(), type);
  return FilterNode::condition(item, o, filterOperatorArity(o) >= 1 ? a : QVariant(), v1->text(),
                               filterOperatorArity(o) >= 2 ? b : QVariant());
}

FilterNode FilterBuilderDialog::Criteria() const { return nodeOf(RootGroup()); }

void FilterBuilderDialog::addNode(QTreeWidgetItem* Group, const FilterNode& Node) {
  if (Node.IsGroup) {
    QTreeWidgetItem* g = AddGroup(Group, Node.BoolOperator);
    for (const auto& c : Node.Children) addNode(g, c);
  } else if (Node.Item >= 0 && Node.Item < view_.ColumnCount()) {
    AddCondition(Group, Node.Item, Node.Operator, Node.DisplayText.isEmpty() ? Node.Value.toString() : Node.DisplayText,
                 Node.Value2.toString());
  }
}

void FilterBuilderDialog::SetCriteria(const FilterNode& Root) {
  QTreeWidgetItem* root = RootGroup();
  qDeleteAll(root->takeChildren());
  SetBoolOperator(root, Root.BoolOperator);
  for (const auto& c : Root.Children) addNode(root, c);
  root->setExpanded(true);
  updatePreview();
}

void FilterBuilderDialog::Apply() {
  FilterCriteria& f = view_.Controller().Filter();
  view_.Controller().BeginUpdate();
  f.SetRoot(Criteria());
  f.SetActive(true);
  view_.Controller().EndUpdate();
}

void FilterBuilderDialog::updatePreview() {
  FilterCriteria tmp;
  tmp.SetRoot(Criteria());
  const QString t = tmp.FilterText(view_.Captions());
  preview_->setText(t.isEmpty() ? QStringLiteral("(no conditions)") : t);
}

bool RunFilterBuilder(TableView& View, QWidget* Owner) {
  FilterBuilderDialog d(View, Owner);
  return d.exec() == QDialog::Accepted;
}

}  // namespace lw::widgets
