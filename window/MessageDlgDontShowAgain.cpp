#include "window/MessageDlgDontShowAgain.h"

#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <memory>

using namespace lw::widgets;

namespace {

DontShowAgainHook& hook() {
  static DontShowAgainHook h;
  return h;
}

QMessageBox::Icon iconOf(MsgDlgType Type) {
  switch (Type) {
    case MsgDlgType::Warning: return QMessageBox::Warning;
    case MsgDlgType::Error: return QMessageBox::Critical;
    case MsgDlgType::Information: return QMessageBox::Information;
    case MsgDlgType::Confirmation: return QMessageBox::Question;
    case MsgDlgType::Custom: break;
  }
  return QMessageBox::NoIcon;
}

int resultOf(int Button) {
  switch (Button) {
    case QMessageBox::Ok: return mrOk;
    case QMessageBox::Cancel: return mrCancel;
    case QMessageBox::Yes: return mrYes;
    case QMessageBox::No: return mrNo;
    default: return mrNone;
  }
}

}  // namespace

void SetDontShowAgainHook(DontShowAgainHook Hook) { hook() = std::move(Hook); }

int MessageDlgDontShowAgain(bool& Flag, const QString& Caption, const QString& Text, MsgDlgType Type,
                            unsigned Buttons) {
  MessageDlgRequest request;
  request.Caption = Caption;
  request.Text = Text;
  request.Type = Type;
  request.Buttons = Buttons;
  if (hook()) {
    bool checked = Flag;
    struct tTakeState {
      bool& Flag;
      bool& Checked;
      ~tTakeState() { Flag = Checked; }
    } take{Flag, checked};
    return hook()(request, checked);
  }

  // The form is freed on every path; the flag takes the check box's state also when exec() throws.
  auto form = std::make_unique<QMessageBox>(QApplication::activeWindow());
  form->setIcon(iconOf(Type));
  form->setWindowTitle(Caption);
  form->setText(Text);
  QMessageBox::StandardButtons b;
  if (Buttons & mbOK) b |= QMessageBox::Ok;
  if (Buttons & mbCancel) b |= QMessageBox::Cancel;
  if (Buttons & mbYes) b |= QMessageBox::Yes;
  if (Buttons & mbNo) b |= QMessageBox::No;
  form->setStandardButtons(b ? b : QMessageBox::Ok);
  auto* check = new QCheckBox(QString::fromLatin1(kDontShowAgainCaption));
  check->setChecked(Flag);
  form->setCheckBox(check);  // owned by the form
  struct tTakeState {
    bool& Flag;
    QCheckBox* Check;
    ~tTakeState() { Flag = Check->isChecked(); }
  } take{Flag, check};
  return resultOf(form->exec());
}
