// logwarden: the viewer's entry routine.
#include <QApplication>
#include <exception>

#include "platform/widgets/Controls.h"
#include "server/uETW_RPCServer.h"
#include "window/frmuMain.h"

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

}  // namespace

int main(int argc, char** argv) {
  tApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quendral Logwarden"));
  QApplication::setApplicationDisplayName(QStringLiteral("Quendral Logwarden"));
  try {
    TfrmETWViewer frmETWViewer(DefaultWindowServices());
    // The extended settings dialog is created here once it exists (kept for the whole run).
    frmETWViewer.show();
    QApplication::exec();
  } catch (const std::exception& e) {
    lw::widgets::ShowException(e);
  } catch (...) {
    lw::widgets::ShowException(QString());
  }
  // The window never stops the control server; at exit it is stopped before the process-wide objects
  // it writes to (the queue) are released.
  if (tRPCServerThread* server = RPCServerThread.get()) {
    RPCServerThread = nullptr;
    delete server;
  }
  return 0;
}
