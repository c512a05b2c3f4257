// logwarden: the viewer's entry routine.
//
// Unattended mode: with LOGWARDEN_UNATTENDED set to a file path, no message box is shown; each one is
// appended to that file as one line "<caption>\t<text>" (line breaks in the text written as \n and \r)
// and answered with OK. It lets scripts and tests run the program without anybody at the screen.
#include <QApplication>
#include <QFile>
#include <cstdlib>
#include <exception>
#include <memory>

#include "platform/widgets/Controls.h"
#include "server/uETW_RPCServer.h"
#include "window/MessageDlgDontShowAgain.h"
#include "window/frmuMain.h"
#if LW_HAVE_SETTINGS_DIALOG
#include "settings/dialog/uExtendedTraceSettings.h"
#endif

namespace {

// Exceptions that leave an event handler are shown and the program goes on.
class tApplication final : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* Receiver, QEvent* Event) override {
    try {
      return QApplication::notify(Receiver, Event);
    } catch (const std::exception& e) {
      lw::widgets::ShowException(e);
    } catch (...) {
      lw::widgets::ShowException(QString());
    }
    return false;
  }
};

void logMessageBox(const QString& Path, const lw::widgets::MessageDlgRequest& Request) {
  QString text = Request.Text;
  text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
  text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
  text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
  QFile f(Path);
  if (f.open(QIODevice::Append | QIODevice::Text)) {
    f.write((Request.Caption + QLatin1Char('\t') + text + QLatin1Char('\n')).toUtf8());
  }
}

void setUpUnattendedMode() {
  const char* path = std::getenv("LOGWARDEN_UNATTENDED");
  if (!path || !*path) return;
  const QString file = QString::fromLocal8Bit(path);
  lw::widgets::SetMessageDlgHook([file](const lw::widgets::MessageDlgRequest& r) {
    logMessageBox(file, r);
    return int(lw::widgets::mrOk);
  });
  SetDontShowAgainHook([file](const lw::widgets::MessageDlgRequest& r, bool&) {
    logMessageBox(file, r);
    return int(lw::widgets::mrOk);
  });
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The application object.
  tApplication app(argc, argv);
  // 2. The title.
  QApplication::setApplicationName(QStringLiteral("Quendral Logwarden"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quendral Logwarden"));
  setUpUnattendedMode();
  std::unique_ptr<TfrmETWViewer> frmETWViewer;
  try {
    // 3. The main window; its construction starts the reader and the control server.
    frmETWViewer = std::make_unique<TfrmETWViewer>(DefaultWindowServices());
#if LW_HAVE_SETTINGS_DIALOG
    // 4. The extended settings dialog, kept for the whole run and hidden until a "..." button opens it.
    ExtendedTraceSettings = new TExtendedTraceSettings([]() -> tSupplierRegistry* {
      tRPCServerThread* server = RPCServerThread.get();
      return server ? &server->Registry() : nullptr;
    });
#endif
    // 5. The message loop, until the main window is closed.
    frmETWViewer->show();
    QApplication::exec();
  } catch (const std::exception& e) {
    // 6. Also a failed start of the control server: no main window, the reader already stopped.
    lw::widgets::ShowException(e);
  } catch (...) {
    lw::widgets::ShowException(QString());
  }
  // The window goes first: its destructor stops the reader, which writes to the queue until then.
  frmETWViewer.reset();
#if LW_HAVE_SETTINGS_DIALOG
  delete ExtendedTraceSettings;
  ExtendedTraceSettings = nullptr;
#endif
  // The window never stops the control server. It is stopped here, before the process-wide objects
  // that its connection threads use (the queue, the registry) are released at exit: a supplier that
  // registers or polls during the exit then finds no server instead of freed storage.
  if (tRPCServerThread* server = RPCServerThread.get()) {
    RPCServerThread = nullptr;
    delete server;
  }
  // 7.
  return 0;
}
