// The window's services on the real reader thread, control server, registry and settings dialog.
#include "capture/thruETWReaderThread.h"
#include "server/uETW_RPCServer.h"
#include "window/WindowServices.h"
#if LW_HAVE_SETTINGS_DIALOG
#include "settings/dialog/uExtendedTraceSettings.h"
#endif

namespace {

class tETWReaderControl final : public tReaderControl {
 public:
  tETWReaderControl() : reader_(std::make_unique<tETWReaderThread>()) {}
  // Deleting the reader runs its stop sequence: stop request, session stopped or detached, wait.
  ~tETWReaderControl() override = default;
  void Resume() override { reader_->Resume(); }
  void SetLevelFilter(int Index) override { reader_->SetLevelFilter(Index); }
  uint32_t FlushSession() override { return reader_->FlushSession(); }
  bool IsProcessing() const override { return reader_->IsProcessing(); }
  uint32_t GetStatus() const override { return reader_->GetStatus(); }

 private:
  std::unique_ptr<tETWReaderThread> reader_;
};

}  // namespace

tWindowServices DefaultWindowServices() {
  tWindowServices s;
  s.SetCurrentLogFile = [](const std::string& Path) { CurrentLogFile = Path; };
  s.CreateReader = [] { return std::make_unique<tETWReaderControl>(); };
  // Owned by nobody: published for the whole run; a failed start throws tServerStartError.
  s.CreateControlServer = [] { RPCServerThread = new tRPCServerThread(); };
  s.Registry = &lw::reg::SystemRegistry();
  s.Suppliers = []() -> tSupplierRegistry* {
    tRPCServerThread* server = RPCServerThread.get();
    return server ? &server->Registry() : nullptr;
  };
#if LW_HAVE_SETTINGS_DIALOG
  s.ShowForSupplier = [](uint32_t ProcessID, uint32_t SupplierID) {
    if (ExtendedTraceSettings) ExtendedTraceSettings->ShowForSupplier(ProcessID, SupplierID);
  };
#endif
  return s;
}
