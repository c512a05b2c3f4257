// The supplier registry: one trace record per registered supplier, grouped by process, the queue of
// change notices for the viewer window, the poll times of the liveness sweep, and the poll that pushes
// pending changes back to a supplier process.
//
// Contract:
// - Keys are the supplier's own numbers: process id, then supplier id, both ascending unsigned. A process
//   entry is created only by a registration, together with its first record, and goes only as a whole.
// - Notices are handed out first in, first out. A notice with SupplierID 0 means "the process is gone";
//   the process entry is removed when that notice is taken, not when it is queued.
// - A process that has polled and then stays silent for more than kPollTimeoutMs (unsigned 32-bit tick
//   arithmetic, so the tick wrap does no harm) gets a removal notice from the sweep, which runs only
//   inside GetNextSupplierChange while no notice is pending. A process that never polled is never swept.
// - GetNextSupplierChange and GetSupplierRec return a pointer to a copy buffer of their own, valid until
//   the next call of the same operation. That is sound only because each is called from one thread (the
//   window's); the buffers are written under the lock and read by the caller after it is released.
// - PollSupplier pushes each pending change through the given push operation, in ascending supplier
//   order, holding the lock across every push. A push status other than 0 drops the whole process.
//
// Thread-safety: every operation takes the registry lock for its whole access to the containers and
// releases it on every path, exceptions included. The lock is never taken twice by one thread; the push
// operation and the log sink must therefore not call back into the registry. The log-entry queue's lock
// may be taken while the registry lock is held (never the reverse).
//
// Not done here: the RPC side of the push (see uETW_RPCServer), any report of failed lookups.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// Trace record of one registered supplier.
struct tTraceRec {
  uint32_t ProcessID = 0;
  uint32_t SupplierID = 0;
  int32_t Level = 0;
  std::string Settings;
  std::string ExceptionSettings;  // set by SetSupplierSettings only; empty in a new record
  std::string SupplierName;
  std::string AuxText2;  // kept, never handed out
  std::string AuxText1;  // handed out with every copy, not interpreted
  bool Changed = false;  // a change waits to be pushed
};

// One change notice: SupplierID 0 = the whole process ProcessID is gone; otherwise that supplier has
// registered (again).
struct tSupplierRegInfo {
  uint32_t ProcessID = 0;
  uint32_t SupplierID = 0;
  friend bool operator==(const tSupplierRegInfo&, const tSupplierRegInfo&) = default;
};

using tSupplierRecords = std::map<uint32_t, tTraceRec>;           // by SupplierID
using tSupplierRegistryMap = std::map<uint32_t, tSupplierRecords>;  // by ProcessID
using tLastPollTicks = std::map<uint32_t, uint32_t>;              // ProcessID -> tick of the last poll
using tSupplierChanges = std::deque<tSupplierRegInfo>;

// A process silent for more than this many milliseconds after a poll is dropped by the sweep.
inline constexpr uint32_t kPollTimeoutMs = 5000;

// Milliseconds from Then to Now on the wrapping 32-bit tick counter.
constexpr uint32_t TicksSince(uint32_t Now, uint32_t Then) { return Now - Then; }

// The registry's lock. It can be held only through tRegistryGuard, so it cannot be left held.
class tRegistryLock {
 public:
  tRegistryLock() = default;
  tRegistryLock(const tRegistryLock&) = delete;
  tRegistryLock& operator=(const tRegistryLock&) = delete;

 private:
  friend class tRegistryGuard;
  std::mutex mutex_;
};

class [[nodiscard]] tRegistryGuard {
 public:
  explicit tRegistryGuard(tRegistryLock& Lock) : hold_(Lock.mutex_) {}
  tRegistryGuard(const tRegistryGuard&) = delete;
  tRegistryGuard& operator=(const tRegistryGuard&) = delete;

 private:
  std::lock_guard<std::mutex> hold_;
};

// The push of one pending change: the callback's four values in, the status out (the supplier's answer,
// or the failure code of the call itself). 0 = the supplier took the values over.
using tApplyTraceSettings = std::function<int32_t(uint32_t SupplierID, int32_t Level,
                                                  const std::string& Settings,
                                                  const std::string& ExceptionSettings)>;

// Where the registry writes its one message (a push that failed). In the program: AddOwnLogItem.
using tRegistryLog = std::function<void(uint32_t LevelWord, int32_t Line, const std::string& Message)>;

// The tick source (GetTickCount in the program; scripted in tests).
using tTickSource = std::function<uint32_t()>;

class tSupplierRegistry {
 public:
  // Lock must outlive the registry. Ticks and Log must be callable from any thread.
  tSupplierRegistry(tRegistryLock& Lock, tTickSource Ticks, tRegistryLog Log);
  tSupplierRegistry(const tSupplierRegistry&) = delete;
  tSupplierRegistry& operator=(const tSupplierRegistry&) = delete;

  // Procedure 1. Always 0. Replaces an existing record's values (keeping its ExceptionSettings,
  // dropping a pending change) and queues the notice (ProcessID, SupplierID).
  int32_t RegisterSupplier(uint32_t ProcessID, const std::string& SupplierName, uint32_t SupplierID,
                           int32_t Level, const std::string& AuxText1, const std::string& Settings,
                           const std::string& AuxText2);
  // The oldest notice as a copy, or null when nothing is pending (after the sweep).
  const tTraceRec* GetNextSupplierChange();
  const tTraceRec* GetSupplierRec(uint32_t ProcessID, uint32_t SupplierID);
  void SetSupplierLevel(uint32_t ProcessID, uint32_t SupplierID, int32_t Level);
  void SetSupplierSettings(uint32_t ProcessID, uint32_t SupplierID, int32_t Level,
                           const std::string& Settings, const std::string& ExceptionSettings);
  // Procedure 2: the number of the process's suppliers when the poll began, 0 when the process is not
  // registered or was dropped by a failed push in this poll.
  int32_t PollSupplier(uint32_t ProcessID, const tApplyTraceSettings& Push);

  // Snapshots for tests and diagnostics (each takes the lock).
  tSupplierRegistryMap RegistrySnapshot();
  tLastPollTicks PollTicksSnapshot();
  tSupplierChanges ChangesSnapshot();

 private:
  tTraceRec* findRecord(uint32_t ProcessID, uint32_t SupplierID);

  tRegistryLock& lock_;
  tTickSource ticks_;
  tRegistryLog log_;

  tSupplierRegistryMap SupplierRegistry;
  tLastPollTicks LastPollTicks;
  tSupplierChanges SupplierChanges;
  // Copy buffers, built on the first call of their operation.
  std::optional<tTraceRec> nextChangeCopy_;
  std::optional<tTraceRec> supplierRecCopy_;
};

// The text of a failed push's log entry.
std::string BrokenSupplierMessage(uint32_t SupplierID, int32_t Status);

// Source line and level word of the failed-push entry.
inline constexpr int32_t kBrokenSupplierLine = 179;
inline constexpr uint32_t kLevelError = 0x0001;
inline constexpr uint32_t kLevelNotice = 0x0008;

// File name of a process's executable with its extension, or "PID: <n>" when the process cannot be
// opened or its name cannot be read. Touches no shared state; thread-safe.
std::string GetProcessName(uint32_t ProcessID);
// The file-name part of a Windows module path: everything after the last '\\' or ':' (exposed for tests).
std::string ModuleFileNamePart(const std::string& Path);
