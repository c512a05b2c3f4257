// The filter builder: a dialog that edits a view's filter as a tree of AND/OR groups and conditions
// (any filterable column; equals, does not equal, less, greater, between, like, not like, blank, not
// blank, ...). OK writes the tree into the view's filter and switches it on; Cancel changes nothing.
//
// GUI thread only.
#pragma once

#include <QDialog>

#include "platform/widgets/Filter.h"

class QTreeWidget;
class QTreeWidgetItem;
class QLabel;

namespace lw::widgets {

class TableView;

class FilterBuilderDialog : public QDialog {
  Q_OBJECT
 public:
  explicit FilterBuilderDialog(TableView& View, QWidget* Parent = nullptr);

  QTreeWidget* Tree() const { return tree_; }
  QTreeWidgetItem* RootGroup() const;
  // Editing as the buttons do, for code and tests. Item is the column index.
  QTreeWidgetItem* AddCondition(QTreeWidgetItem* Group, int Item, FilterOperator Operator,
                                const QString& Value = {}, const QString& Value2 = {});
  QTreeWidgetItem* AddGroup(QTreeWidgetItem* Group, FilterBoolOperator Operator);
  void SetBoolOperator(QTreeWidgetItem* Group, FilterBoolOperator Operator);
  void RemoveItem(QTreeWidgetItem* Item);

  // The tree as the dialog's widgets hold it.
  FilterNode Criteria() const;
  void SetCriteria(const FilterNode& Root);
  // Writes the criteria into the view's filter and switches it on (what OK does).
  void Apply();

 private:
  QTreeWidgetItem* selectedGroup() const;
  FilterNode nodeOf(QTreeWidgetItem* Item) const;
  void addNode(QTreeWidgetItem* Group, const FilterNode& Node);
  void updatePreview();

  TableView& view_;
  QTreeWidget* tree_;
  QLabel* preview_;
};

// Runs the dialog modally for the view; true when the user pressed OK.
bool RunFilterBuilder(TableView& View, QWidget* Owner = nullptr);

}  // namespace lw::widgets
