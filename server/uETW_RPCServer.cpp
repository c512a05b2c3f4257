#include "server/uETW_RPCServer.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/os/Os.h"
#include "server/ControlInterface.h"

using namespace lw::rpc;

tServerThreadPointer RPCServerThread;

void LogServerMessage(uint32_t LevelWord, int32_t Line, const std::string& Message) {
  AddOwnLogItem(LevelWord, 0, kServerUnit, Line, Message);
}

namespace {

// Procedures 1 and 2 reach the published server through these; before publication they answer 0.
int32_t HookRegisterSupplier(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID,
                             int32_t Level, const std::string& AuxText1, const std::string& Settings,
                             const std::string& AuxText2) {
  tRPCServerThread* server = RPCServerThread.get();
  if (server == nullptr) return 0;
  return server->RegisterSupplier(ProcessID, SupplierName, SupplierID, Level, AuxText1, Settings, AuxText2);
}

int32_t HookPollSupplier(uint32_t ProcessID) {
  tRPCServerThread* server = RPCServerThread.get();
  if (server == nullptr) return 0;
  return server->PollSupplier(ProcessID);
}

const tControlServerHooks kServerHooks{&HookRegisterSupplier, &HookPollSupplier};

// The push of the running program: the callback over the connection of the poll in progress. A failed
// call counts with its RPC status.
int32_t PushThroughCallback(uint32_t SupplierID, int32_t Level, const std::string& Settings,
                            const std::string& ExceptionSettings) {
  try {
    return ApplyTraceSettings(SupplierID, Level, Settings.c_str(), ExceptionSettings.c_str());
  } catch (const RpcException& failure) {
    return failure.Status();
  }
}

// Strings, bindings and binding vectors handed out by the runtime, released on every path.
class tRpcString {
 public:
  explicit tRpcString(tRpcApi& Rpc) : rpc_(Rpc) {}
  ~tRpcString() { Free(); }
  tRpcString(const tRpcString&) = delete;
  tRpcString& operator=(const tRpcString&) = delete;
  RPC_CSTR* Out() { return &text_; }
  const char* Get() const { return text_; }
  void Free() {
    if (text_ != nullptr) rpc_.RpcStringFreeA(&text_);
    text_ = nullptr;
  }

 private:
  tRpcApi& rpc_;
  RPC_CSTR text_ = nullptr;
};

class tRpcBinding {
 public:
  explicit tRpcBinding(tRpcApi& Rpc) : rpc_(Rpc) {}
  ~tRpcBinding() {
    if (binding_ != nullptr) rpc_.RpcBindingFree(&binding_);
  }
  tRpcBinding(const tRpcBinding&) = delete;
  tRpcBinding& operator=(const tRpcBinding&) = delete;
  RPC_BINDING_HANDLE* Out() { return &binding_; }
  RPC_BINDING_HANDLE Get() const { return binding_; }

 private:
  tRpcApi& rpc_;
  RPC_BINDING_HANDLE binding_ = nullptr;
};

class tRpcBindingVector {
 public:
  explicit tRpcBindingVector(tRpcApi& Rpc) : rpc_(Rpc) {}
  ~tRpcBindingVector() {
    if (vector_ != nullptr) rpc_.RpcBindingVectorFree(&vector_);
  }
  tRpcBindingVector(const tRpcBindingVector&) = delete;
  tRpcBindingVector& operator=(const tRpcBindingVector&) = delete;
  RPC_BINDING_VECTOR** Out() { return &vector_; }
  RPC_BINDING_VECTOR* Get() const { return vector_; }

 private:
  tRpcApi& rpc_;
  RPC_BINDING_VECTOR* vector_ = nullptr;
};

std::string StartErrorMessage(RPC_STATUS Status, const char* Step) {
  char text[160];
  std::snprintf(text, sizeof text, "RPC start error: %d (%s) ", static_cast<int>(Status), Step);
  return text;
}

}  // namespace

tServerThreadPointer& tServerThreadPointer::operator=(tRPCServerThread* Server) {
  server_.store(Server, std::memory_order_release);
  SetControlServerHooks(Server != nullptr ? &kServerHooks : nullptr);
  return *this;
}

tRPCServerThread::tRPCServerThread() : tRPCServerThread(SystemRpcApi()) {}

tRPCServerThread::tRPCServerThread(tRpcApi& Runtime, tTickSource Ticks)
    : rpc_(Runtime),
      registry_(RegistryLock, Ticks ? std::move(Ticks) : tTickSource(&lw::os::GetTickCount), &LogServerMessage) {
  // The registry lock is held across every callback; a supplier that never answers must not hold every
  // other supplier and the window up for good.
  setCallbackTimeout(ControlInterface_v1_0_s_ifspec, kCallbackTimeoutMs);
  // The base class constructed the thread suspended; only StartServer's last step lets it run. If a step
  // fails, the exception leaves this constructor and the never-started thread goes with the object.
  StartServer();
}

tRPCServerThread::~tRPCServerThread() {
  Terminate();
  bool stopped = StopServer();
  if (Started()) {
    // The thread may still have been on its way into the listen call when StopServer looked; stop it
    // once it is there (Execute skips the listen when it sees the stop request first).
    while (!Finished()) {
      if (!stopped) stopped = rpc_.RpcMgmtStopServerListening(nullptr) == RPC_S_OK;
      lw::os::Sleep(5);
    }
    WaitFor();
  }
}

void tRPCServerThread::ReportStartError(RPC_STATUS Status, const char* Step) {
  if (Status == RPC_S_OK) return;
  const std::string message = StartErrorMessage(Status, Step);
  LogServerMessage(kLevelError, kStartErrorLine, message);
  throw tServerStartError(message);
}

void tRPCServerThread::StartServer() {
  const RPC_IF_HANDLE ifSpec = ControlInterface_v1_0_s_ifspec;
  auto step = [this](RPC_STATUS Status, const char* Name) {
    LastStatus_.store(Status);
    ReportStartError(Status, Name);
  };

  step(rpc_.RpcServerUseProtseqA(kServerProtseq, kServerBacklog, nullptr), "RpcServerUseProtseq");
  step(rpc_.RpcServerRegisterIfEx(ifSpec, nullptr, nullptr, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, kServerMaxCalls,
                                  nullptr),
       "RpcServerRegisterIfEx");
  try {
    tRpcBindingVector bindings(rpc_);
    step(rpc_.RpcServerInqBindings(bindings.Out()), "RpcServerInqBindings");
    step(rpc_.RpcEpRegisterA(ifSpec, bindings.Get(), nullptr, nullptr), "RpcEpRegister");

    tRpcString stringBinding(rpc_);
    step(rpc_.RpcStringBindingComposeA(kControlInterfaceUuid, kServerProtseq, kServerLookupAddress, nullptr,
                                       nullptr, stringBinding.Out()),
         "RpcStringBindingCompose");
    tRpcBinding binding(rpc_);
    step(rpc_.RpcBindingFromStringBindingA(stringBinding.Get(), binding.Out()), "RpcBindingFromStringBinding");
    stringBinding.Free();
    step(rpc_.RpcEpResolveBinding(binding.Get(), ifSpec), "RpcEpResolveBinding");
    tRpcString resolved(rpc_);
    step(rpc_.RpcBindingToStringBindingA(binding.Get(), resolved.Out()), "RpcBindingToStringBinding");
    tRpcString endpoint(rpc_);
    step(rpc_.RpcStringBindingParseA(resolved.Get(), nullptr, nullptr, nullptr, endpoint.Out(), nullptr),
         "RpcStringBindingParse");

    const std::string_view text = endpoint.Get() != nullptr ? endpoint.Get() : "";
    int port = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
      // Cannot happen over TCP (the endpoint is the port); leaves the constructor like a failed step.
      throw tServerStartError("'" + std::string(text) + "' is not a valid integer value");
    }
    char message[64];
    std::snprintf(message, sizeof message, "ETW RPC Server bound to port: %d", port);
    LogServerMessage(kLevelNotice, kBoundToPortLine, message);
    resolved.Free();
    endpoint.Free();
  } catch (...) {
    // The interface is registered but nobody will listen for it: take it back, so the runtime is left
    // as it was found (a later server of this process can register it again).
    rpc_.RpcServerUnregisterIf(ifSpec, nullptr, 0);
    throw;
  }
  Resume();
}

void tRPCServerThread::Execute() {
  NameThread(kServerThreadName);
  Listening_.store(true);
  LogServerMessage(kLevelNotice, kStartListeningLine, "ETW RPC Server: start listening...");
  if (!Terminated()) {
    const RPC_STATUS status = rpc_.RpcServerListen(kServerMinCallThreads, kServerMaxCalls, 0);
    LastStatus_.store(status);
    if (status != RPC_S_OK) {
      char message[96];
      std::snprintf(message, sizeof message, "ETW RPC execute error: %d (RpcServerListen) ",
                    static_cast<int>(status));
      LogServerMessage(kLevelError, kListenErrorLine, message);
    }
  }
  Listening_.store(false);
}

bool tRPCServerThread::StopServer() {
  bool stopped = false;
  if (Listening_.load()) {
    const RPC_STATUS status = rpc_.RpcMgmtStopServerListening(nullptr);
    LastStatus_.store(status);
    stopped = status == RPC_S_OK;
    LastStatus_.store(rpc_.RpcServerUnregisterIf(nullptr, nullptr, 1));
  }
  Listening_.store(false);
  return stopped;
}

int32_t tRPCServerThread::PollSupplier(uint32_t ProcessID) {
  return registry_.PollSupplier(ProcessID, &PushThroughCallback);
}
