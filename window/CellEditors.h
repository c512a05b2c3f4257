// In-cell editing of the trace-level panels' grids: a drop-down list with fixed items for a text
// column, and a column whose cells are a "..." button on every row.
//
// A click on a list cell focuses its row and opens the list over the cell; picking an item writes it
// into the record through the data controller and closes the list. A click on a button cell focuses its
// row and runs the column's click handler. Editors act only on data rows (group rows are ignored).
//
// GUI thread only. The object belongs to the grid widget it is attached to.
#pragma once

#include <QComboBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <functional>
#include <map>

#include "platform/widgets/Grid.h"

class tCellEditors : public QObject {
  Q_OBJECT
 public:
  // Attaches to the widget that shows View in Grid (the grid's first level showing View).
  tCellEditors(lw::widgets::Grid& Grid, lw::widgets::TableView& View);

  // The column is edited with a fixed list of items.
  void AddListColumn(lw::widgets::GridColumn* Column, QStringList Items);
  // The column's cells are drawn as "..." buttons; a click runs OnClick with the row focused.
  void AddButtonColumn(lw::widgets::GridColumn* Column, std::function<void()> OnClick);

  // The list open over a cell, or null.
  QComboBox* OpenList() const { return list_; }
  // Opens the list over the cell of data row Row (as a click on it does); false for no list column.
  bool EditCell(int Row, int Item);
  // Runs a button cell of data row Row as a click on it does; false for no button column.
  bool ClickButton(int Row, int Item);
  // Closes an open list without writing.
  void CloseList();

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  lw::widgets::TableView& view_;
  lw::widgets::GridViewWidget* widget_ = nullptr;
  std::map<int, QStringList> lists_;
  std::map<int, std::function<void()>> buttons_;
  QPointer<QComboBox> list_;
};
