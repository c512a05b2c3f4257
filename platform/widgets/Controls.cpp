#include "platform/widgets/Controls.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

namespace lw::widgets {

void Shape::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(Qt::black, 1));
  p.setBrush(brush_);
  const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  if (ShapeKind == Kind::Circle) {
    const qreal d = std::min(r.width(), r.height());
    p.drawEllipse(QRectF(r.center().x() - d / 2, r.center().y() - d / 2, d, d));
  } else {
    p.drawRect(r);
  }
}

bool ImageList::Draw(QPainter& Canvas, int X, int Y, int Index, bool Enabled) const {
  if (Index < 0 || Index >= Count()) return false;
  if (Enabled) {
    Canvas.drawPixmap(X, Y, images_[static_cast<size_t>(Index)]);
  } else {
    Canvas.save();
    Canvas.setOpacity(0.4);
    Canvas.drawPixmap(X, Y, images_[static_cast<size_t>(Index)]);
    Canvas.restore();
  }
  return true;
}

LinkLabel::LinkLabel(const QString& Text, QWidget* Parent) : QLabel(Text, Parent) {
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette p = palette();
  p.setColor(QPalette::WindowText, Qt::blue);
  setPalette(p);
  setCursor(Qt::PointingHandCursor);
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* Event) {
  if (Event->button() == Qt::LeftButton && rect().contains(Event->position().toPoint())) emit clicked();
  QLabel::mouseReleaseEvent(Event);
}

namespace {
std::function<bool(SaveDialog&)>& saveHook() {
  static std::function<bool(SaveDialog&)> h;
  return h;
}
}  // namespace

void SaveDialog::SetExecuteHook(std::function<bool(SaveDialog&)> Hook) { saveHook() = std::move(Hook); }

bool SaveDialog::Execute(QWidget* Parent) {
  if (saveHook()) return saveHook()(*this);
  // "Caption (*.a)|*.a|..." to the Qt form "Caption (*.a);;...".
  const QStringList parts = Filter.split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) filters << parts[i];
  QFileDialog d(Parent);
  d.setAcceptMode(QFileDialog::AcceptSave);
  d.setNameFilters(filters);
  d.setDefaultSuffix(DefaultExt.startsWith(QLatin1Char('.')) ? DefaultExt.mid(1) : DefaultExt);
  d.setOption(QFileDialog::DontConfirmOverwrite, !OverwritePrompt);
  if (!FileName.isEmpty()) d.selectFile(FileName);
  if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty()) return false;
  FileName = d.selectedFiles().first();
  return true;
}

namespace {
MessageDlgHook& hook() {
  static MessageDlgHook h;
  return h;
}

int runDialog(const MessageDlgRequest& r) {
  if (hook()) return hook()(r);
  QMessageBox box(QApplication::activeWindow());
  switch (r.Type) {
    case MsgDlgType::Warning:
      box.setIcon(QMessageBox::Warning);
      box.setWindowTitle(QStringLiteral("Warning"));
      break;
    case MsgDlgType::Error:
      box.setIcon(QMessageBox::Critical);
      box.setWindowTitle(QStringLiteral("Error"));
      break;
    case MsgDlgType::Information:
      box.setIcon(QMessageBox::Information);
      box.setWindowTitle(QStringLiteral("Information"));
      break;
    case MsgDlgType::Confirmation:
      box.setIcon(QMessageBox::Question);
      box.setWindowTitle(QStringLiteral("Confirm"));
      break;
    case MsgDlgType::Custom: box.setWindowTitle(QApplication::applicationDisplayName()); break;
  }
  if (!r.Caption.isEmpty()) box.setWindowTitle(r.Caption);
  box.setText(r.Text);
  QMessageBox::StandardButtons b;
  if (r.Buttons & mbOK) b |= QMessageBox::Ok;
  if (r.Buttons & mbCancel) b |= QMessageBox::Cancel;
  if (r.Buttons & mbYes) b |= QMessageBox::Yes;
  if (r.Buttons & mbNo) b |= QMessageBox::No;
  box.setStandardButtons(b ? b : QMessageBox::Ok);
  switch (box.exec()) {
    case QMessageBox::Ok: return mrOk;
    case QMessageBox::Cancel: return mrCancel;
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    default: return mrNone;
  }
}
}  // namespace

void SetMessageDlgHook(MessageDlgHook Hook) { hook() = std::move(Hook); }

int MessageDlg(const QString& Text, MsgDlgType Type, unsigned Buttons) {
  MessageDlgRequest r;
  r.Text = Text;
  r.Type = Type;
  r.Buttons = Buttons;
  return runDialog(r);
}

void ShowMessage(const QString& Text) {
  MessageDlgRequest r;
  r.Caption = QApplication::applicationDisplayName();
  r.Text = Text;
  r.Type = MsgDlgType::Custom;
  runDialog(r);
}

void ShowException(const QString& Message) {
  MessageDlgRequest r;
  r.Caption = QApplication::applicationDisplayName();
  r.Text = Message;
  r.Type = MsgDlgType::Error;
  r.IsException = true;
  runDialog(r);
}

void ShowException(const std::exception& E) { ShowException(QString::fromLocal8Bit(E.what())); }

}  // namespace lw::widgets
