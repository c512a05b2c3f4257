// Small controls and dialogs the windows are built from: the shape (a filled circle or rectangle), the
// image list, the link label, and the message dialogs with a seam for tests.
//
// GUI thread only.
#pragma once

#include <QColor>
#include <QLabel>
#include <QPixmap>
#include <QString>
#include <QWidget>
#include <exception>
#include <functional>
#include <vector>

namespace lw::widgets {

class Shape : public QWidget {
  Q_OBJECT
 public:
  enum class Kind { Circle, Rectangle };
  explicit Shape(QWidget* Parent = nullptr) : QWidget(Parent) {}
  Kind ShapeKind = Kind::Circle;
  QColor BrushColor() const { return brush_; }
  void SetBrushColor(const QColor& Color) {
    brush_ = Color;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor brush_ = Qt::white;
};

class ImageList {
 public:
  ImageList(int Width, int Height) : width_(Width), height_(Height) {}
  int Width() const { return width_; }
  int Height() const { return height_; }
  int Count() const { return static_cast<int>(images_.size()); }
  void Add(const QPixmap& Image) { images_.push_back(Image); }
  const QPixmap& Image(int Index) const { return images_[static_cast<size_t>(Index)]; }
  // Draws image Index with its top-left corner at (X, Y); an index the list does not hold draws nothing
  // and returns false.
  bool Draw(QPainter& Canvas, int X, int Y, int Index, bool Enabled = true) const;

 private:
  int width_, height_;
  std::vector<QPixmap> images_;
};

// A label used as a link: blue, underlined, hand cursor; emits clicked.
class LinkLabel : public QLabel {
  Q_OBJECT
 public:
  explicit LinkLabel(const QString& Text, QWidget* Parent = nullptr);
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* Event) override;
};

// The save dialog: default extension, filter ("Text (*.ext)|*.ext" pairs), options. Execute runs the
// platform's file dialog (or the test hook) and keeps the chosen name in FileName.
class SaveDialog {
 public:
  QString DefaultExt;
  QString Filter;
  QString FileName;
  bool OverwritePrompt = true;
  bool Execute(QWidget* Parent = nullptr);
  // Tests answer the dialog: the hook sets FileName and returns false for Cancel. Null: the real dialog.
  static void SetExecuteHook(std::function<bool(SaveDialog&)> Hook);
};

enum class MsgDlgType { Warning, Error, Information, Confirmation, Custom };
enum MsgDlgButton : unsigned { mbOK = 1, mbCancel = 2, mbYes = 4, mbNo = 8 };
enum ModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

struct MessageDlgRequest {
  QString Caption;  // empty: the platform's caption for the type
  QString Text;
  MsgDlgType Type = MsgDlgType::Information;
  unsigned Buttons = mbOK;
  bool IsException = false;
};

// Modal message dialog; returns the modal result.
int MessageDlg(const QString& Text, MsgDlgType Type, unsigned Buttons);
// A plain message box with the application's title as caption.
void ShowMessage(const QString& Text);
// The application's standard exception message box.
void ShowException(const std::exception& E);
void ShowException(const QString& Message);

// Tests replace the dialogs: the hook gets every request and returns the modal result. Null restores
// the real dialogs.
using MessageDlgHook = std::function<int(const MessageDlgRequest&)>;
void SetMessageDlgHook(MessageDlgHook Hook);

}  // namespace lw::widgets
