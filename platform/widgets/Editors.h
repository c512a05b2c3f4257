// Editors of the grid library: the in-cell editors of a table view's columns ("column properties"),
// the stand-alone text, button and spin fields, the navigator bar under a grid and the folder-choice
// dialog.
//
// Validation. Every editor that takes typed text has an OnValidate hook. It runs when the entry is left
// after a change (a grid cell: also on Enter and Tab; a stand-alone field: on leaving only, unless
// ValidateOnEnter is set). The hook gets the entry as DisplayValue and may replace it by the value to
// keep; setting Error refuses the entry: ErrorText is shown in an error message box (MessageDlg, so tests
// answer it through its hook), the entry stays in the editor for correction and the old value stays in
// place. An accepted cell entry is written into the DataController at once (SetValue of its record and
// item); an accepted stand-alone entry becomes the field's text.
//
// In-cell editing is on where ViewOptions.Editing and the column's ColumnOptions.Editing are both set;
// the column's Properties choose the editor (plain text when null). A read-only column can still carry a
// button-edit Properties with ButtonAlwaysShown: its button is drawn on every row and reports clicks
// through OnButtonClick without opening an editor. Only one cell editor is open per view at a time; it
// is opened by a double click, a click on the focused cell, F2 or typing, or by CellEditing::EditCell.
//
// GUI thread only.
#pragma once

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWidget>
#include <functional>
#include <memory>

#include "platform/widgets/TableView.h"

class QToolButton;

namespace lw::widgets {

class ButtonEdit;
class Grid;
class GridViewWidget;

// DisplayValue: the entry, replaceable; Error refuses it with ErrorText.
using ValidateHook = std::function<void(QVariant& DisplayValue, QString& ErrorText, bool& Error)>;

// A click on an editor's button.
struct EditButtonClick {
  // The editor whose button was clicked: the stand-alone field, or the open cell editor. Null for a
  // button drawn in a cell whose column cannot be edited (no editor was opened).
  ButtonEdit* Editor = nullptr;
  // For a grid cell: its view, column and record; null / -1 for a stand-alone field.
  TableView* View = nullptr;
  GridColumn* Column = nullptr;
  int RecordIndex = -1;
  int ButtonIndex = 0;
};
using ButtonClickHook = std::function<void(const EditButtonClick& Click)>;

enum class EditorKind { Text, ComboBox, ButtonEdit };

// What a column's cell editor is. Shared (by shared_ptr) between columns that use the same editor.
struct EditProperties {
  EditorKind Kind = EditorKind::Text;
  // ComboBox: the fixed item list; ListOnly keeps the entry to the items, otherwise typed text is taken.
  QStringList Items;
  bool ListOnly = true;
  // ButtonEdit: one ellipsis ("...") button; ButtonAlwaysShown draws it on every row at all times.
  bool ButtonAlwaysShown = false;
  ValidateHook OnValidate;
  ButtonClickHook OnButtonClick;
};

// A one-line text field with the validation hook.
class TextEdit : public QLineEdit {
  Q_OBJECT
 public:
  explicit TextEdit(QWidget* Parent = nullptr);
  ValidateHook OnValidate;
  bool ValidateOnEnter = false;
  // True when the text was changed (typed or posted) since it was last set or accepted.
  bool Modified() const { return modified_; }
  // Sets the text as the field's accepted value (not validated, not modified).
  void SetText(const QString& Text);
  // Runs the check on a modified entry: true when accepted (or unmodified); false when refused, after the
  // error message, with the entry kept.
  bool ValidateEdit();

 signals:
  // After an accepted entry.
  void validated();

 protected:
  void focusOutEvent(QFocusEvent* Event) override;
  void keyPressEvent(QKeyEvent* Event) override;

 private:
  friend class CellEditing;
  bool inCell_ = false;  // a cell editor: the grid runs the checks
  bool modified_ = false;
  bool checking_ = false;
};

// A text field with one ellipsis ("...") button at its right end (button index 0).
class ButtonEdit : public TextEdit {
  Q_OBJECT
 public:
  explicit ButtonEdit(QWidget* Parent = nullptr);
  ButtonClickHook OnButtonClick;
  QToolButton* Button() const { return button_; }
  // As a click on the button.
  void ClickButton(int ButtonIndex = 0);
  // Puts Text into the field and posts it as the editor's value: a cell editor writes it into its cell
  // at once (after the check); a stand-alone field runs its check. False when the check refused it.
  bool PostEditValue(const QString& Text);

 protected:
  void resizeEvent(QResizeEvent* Event) override;

 private:
  friend class CellEditing;
  QToolButton* button_;
  std::function<bool()> post_;  // set for a cell editor
  ButtonClickHook cellClick_;   // set for a cell editor
};

// A drop-down with a fixed item list; editable (typed text taken) unless ListOnly.
class ComboEdit : public QComboBox {
  Q_OBJECT
 public:
  explicit ComboEdit(QWidget* Parent = nullptr);
  void SetListOnly(bool ListOnly);
  bool ListOnly() const { return !isEditable(); }
};

// Integer field with spin buttons. A value set from outside the range is clamped; a typed value reads
// clamped and is shown clamped once the field is left; a text that is not a 32-bit integer reads as
// MinValue and is shown so on leaving; the buttons add or subtract Increment.
class SpinEdit : public QAbstractSpinBox {
  Q_OBJECT
 public:
  explicit SpinEdit(QWidget* Parent = nullptr);
  int MinValue() const { return min_; }
  int MaxValue() const { return max_; }
  int Increment() const { return step_; }
  void SetMinValue(int Value);
  void SetMaxValue(int Value);
  void SetIncrement(int Value) { step_ = Value; }
  int Value() const;
  void SetValue(int Value);

  void stepBy(int Steps) override;
  QValidator::State validate(QString& Input, int& Pos) const override;
  void fixup(QString& Input) const override;

 protected:
  StepEnabled stepEnabled() const override;
  void focusOutEvent(QFocusEvent* Event) override;

 private:
  int clamp(long long Value) const;
  int min_ = 0, max_ = 100, step_ = 1;
};

// In-cell editing of one grid view widget. Every GridViewWidget has one, made with the widget.
class CellEditing : public QObject {
  Q_OBJECT
 public:
  static CellEditing* Of(GridViewWidget& Widget);
  explicit CellEditing(GridViewWidget& Widget);
  ~CellEditing() override;

  // Whether a cell of the row and item may be edited now (view and column options, data row).
  bool CanEdit(int Row, int Item) const;
  // Opens the column's editor on the cell (an open editor is posted first); false when not editable or
  // when the open editor's entry was refused.
  bool EditCell(int Row, int Item);
  QWidget* ActiveEditor() const { return editor_; }
  int EditingRecord() const;  // record index of the open editor, -1 when none
  int EditingItem() const { return editor_ ? item_ : -1; }
  // Checks and posts the open editor's entry and closes it; true when none is open or it was accepted,
  // false when the entry was refused (the editor stays open with it).
  bool PostEditor();
  // Closes the open editor without posting.
  void CancelEditor();
  // As a click on the button of a cell of a button-edit column: focuses the row, opens the editor when the
  // column is editable and reports the click with it; a read-only column reports it without an editor.
  void ClickCellButton(int Row, int Item, int ButtonIndex = 0);
  // Where the always-shown button of a cell is drawn (widget coordinates of the tree's viewport).
  QRect CellButtonRect(int Row, int Item) const;

 protected:
  bool eventFilter(QObject* Watched, QEvent* Event) override;

 private:
  QWidget* createEditor(const EditProperties* P);
  QString editorText() const;
  void placeEditor();
  void closeEditor();
  void relocate();
  bool isAlwaysButtonColumn(int Item) const;

  GridViewWidget& widget_;
  QPointer<QWidget> editor_;
  uint64_t key_ = 0;
  int item_ = -1;
  QString startText_;
  bool posting_ = false;
  QString refusedText_;
  bool refused_ = false;
};

// Button indexes of the navigator, as the platform numbers them.
enum NavigatorButtonIndex : int {
  nbFirst = 0,
  nbPriorPage = 1,
  nbPrior = 2,
  nbNext = 3,
  nbNextPage = 4,
  nbLast = 5,
  nbInsert = 6,
  nbAppend = 7,
  nbDelete = 8,
  nbEdit = 9,
  nbPost = 10,
  nbCancel = 11,
  nbRefresh = 12,
  kNavigatorButtonCount = 13,
};

// The navigator bar under a grid: buttons acting on the grid's active view. Only Append and Delete are
// visible at first. A click runs OnButtonClick first (with the button index); when it sets Handled the
// button's own action is skipped. Append appends an empty record and focuses it; Delete deletes the
// focused record, without confirmation. An open cell editor is posted before Append (a refused entry
// stops the append) and cancelled before Delete.
class Navigator : public QWidget {
  Q_OBJECT
 public:
  explicit Navigator(Grid& G, QWidget* Parent = nullptr);
  void SetButtonVisible(int ButtonIndex, bool Visible);
  bool ButtonVisible(int ButtonIndex) const;
  QToolButton* Button(int ButtonIndex) const;
  std::function<void(int ButtonIndex, bool& Handled)> OnButtonClick;
  // As a click on the button (also for hidden buttons).
  void ClickButton(int ButtonIndex);

 private:
  void runAction(int ButtonIndex);
  Grid& grid_;
  QToolButton* buttons_[kNavigatorButtonCount] = {};
};

// The folder-choice dialog: starts at Directory, returns the chosen folder in it. With AllowCreate the user
// may type a folder that does not exist; it is then created with its parents after a confirmation (when
// ConfirmCreate). Execute is false on cancel, on a refused confirmation and when the folder could not be
// created (an error message is shown).
class SelectDirDialog {
 public:
  QString Caption = QStringLiteral("Select folder");
  QString Directory;
  bool AllowCreate = true;
  bool ConfirmCreate = true;
  bool Execute(QWidget* Parent = nullptr);
  // Tests answer the choice itself: the hook sets Directory and returns false for Cancel; the check for
  // a missing folder, its confirmation and creation still run. Null: the real dialog.
  static void SetExecuteHook(std::function<bool(SelectDirDialog&)> Hook);
};

}  // namespace lw::widgets
