// The control server: the RPC server thread, the supplier registry it guards, and the poll that pushes
// trace-level and settings changes back to the suppliers.
//
// tRPCServerThread is created once per process by the main window and published in RPCServerThread. Its
// constructor registers the control interface on a dynamic TCP port with the endpoint mapper, logs the
// port and starts a thread that only listens. A failed start step is logged and thrown as
// tServerStartError; the thread then never runs and the half-made object is gone with the exception.
//
// Threads: the constructor and the registry operations of the window (GetNextSupplierChange,
// GetSupplierRec, SetSupplierLevel, SetSupplierSettings) run on the window's thread; Execute runs on the
// server thread; RegisterSupplier and PollSupplier run on the runtime's connection threads. RegistryLock
// guards the registry and is held across every callback of a poll. Callbacks wait at most
// kCallbackTimeoutMs for the supplier's answer; a supplier that stays silent longer counts as broken.
//
// Not done here: nothing stops the server in the running program; the object is never destroyed by the
// window, and destroying it stops listening and unregisters the interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/os/Thread.h"
#include "platform/rpc/Rpc.h"
#include "server/LogItems.h"
#include "server/SupplierRegistry.h"

// The source unit named in every log entry of the server.
inline constexpr const char* kServerUnit = "uETW_RPCServer";

// Constants of the server's start.
inline constexpr const char* kServerProtseq = "ncacn_ip_tcp";
inline constexpr unsigned kServerBacklog = 3;
inline constexpr unsigned kServerMaxCalls = 1234;
inline constexpr unsigned kServerMinCallThreads = 1;
inline constexpr const char* kServerLookupAddress = "localhost";
inline constexpr const char* kServerThreadName = "RPCServer";
// How long a push waits for the supplier's answer before it counts as failed (status 1726).
inline constexpr uint32_t kCallbackTimeoutMs = 5000;

// Source lines of the server's log entries.
inline constexpr int32_t kStartErrorLine = 55;
inline constexpr int32_t kBoundToPortLine = 108;
inline constexpr int32_t kStartListeningLine = 149;
inline constexpr int32_t kListenErrorLine = 153;

// A failed start of the server; what() is the text that was logged.
class tServerStartError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class tRPCServerThread : public lw::os::tThread {
 public:
  // Starts the server with the platform's runtime.
  tRPCServerThread();
  // Starts it with the given runtime (which must outlive the object) and tick source.
  explicit tRPCServerThread(lw::rpc::tRpcApi& Runtime, tTickSource Ticks = nullptr);
  ~tRPCServerThread() override;

  // Registry operations (see SupplierRegistry.h for their contracts).
  int32_t RegisterSupplier(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID,
                           int32_t Level, const std::string& AuxText1, const std::string& Settings,
                           const std::string& AuxText2) {
    return registry_.RegisterSupplier(ProcessID, SupplierName, SupplierID, Level, AuxText1, Settings,
                                      AuxText2);
  }
  const tTraceRec* GetNextSupplierChange() { return registry_.GetNextSupplierChange(); }
  const tTraceRec* GetSupplierRec(uint32_t ProcessID, uint32_t SupplierID) {
    return registry_.GetSupplierRec(ProcessID, SupplierID);
  }
  void SetSupplierLevel(uint32_t ProcessID, uint32_t SupplierID, int32_t Level) {
    registry_.SetSupplierLevel(ProcessID, SupplierID, Level);
  }
  void SetSupplierSettings(uint32_t ProcessID, uint32_t SupplierID, int32_t Level, const std::string& Settings,
                           const std::string& ExceptionSettings) {
    registry_.SetSupplierSettings(ProcessID, SupplierID, Level, Settings, ExceptionSettings);
  }
  // Procedure 2 as the program runs it: the push is the ApplyTraceSettings callback of the call in
  // progress on this thread.
  int32_t PollSupplier(uint32_t ProcessID);
  // The same with a push of the caller's.
  int32_t PollSupplier(uint32_t ProcessID, const tApplyTraceSettings& Push) {
    return registry_.PollSupplier(ProcessID, Push);
  }

  tSupplierRegistry& Registry() { return registry_; }
  int32_t LastStatus() const { return LastStatus_.load(); }
  bool Listening() const { return Listening_.load(); }

 protected:
  void Execute() override;

 private:
  void StartServer();
  // Stops listening and unregisters the interface while the thread listens; true when the stop was taken.
  bool StopServer();
  // Logs and throws for a non-zero status.
  void ReportStartError(lw::rpc::RPC_STATUS Status, const char* Step);

  lw::rpc::tRpcApi& rpc_;
  std::atomic<int32_t> LastStatus_{0};
  std::atomic<bool> Listening_{false};
  tRegistryLock RegistryLock;
  tSupplierRegistry registry_;
};

// The published server: null until the window has constructed it and stored it here, never reset.
// Stored and read atomically, since the runtime's threads look at it while the window publishes it.
class tServerThreadPointer {
 public:
  tServerThreadPointer() = default;
  tServerThreadPointer(const tServerThreadPointer&) = delete;
  tServerThreadPointer& operator=(const tServerThreadPointer&) = delete;

  // Publishing a server also opens procedures 1 and 2 to it; null closes them again.
  tServerThreadPointer& operator=(tRPCServerThread* Server);
  tRPCServerThread* operator->() const { return get(); }
  operator tRPCServerThread*() const { return get(); }  // NOLINT: reads as the plain pointer it stands for
  tRPCServerThread* get() const { return server_.load(std::memory_order_acquire); }

 private:
  std::atomic<tRPCServerThread*> server_{nullptr};
};
extern tServerThreadPointer RPCServerThread;

// The server's own log entries: category 0, source unit kServerUnit.
void LogServerMessage(uint32_t LevelWord, int32_t Line, const std::string& Message);
