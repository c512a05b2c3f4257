// The window's services on the real reader thread and control server.
#include "capture/thruETWReaderThread.h"
#include "server/uETW_RPCServer.h"
#include "window/WindowServices.h"

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
  return s;
}
