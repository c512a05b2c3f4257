// The control side of the reference supplier: finds the viewer through the endpoint mapper, registers
// the supplier's suppliers, polls, and answers the viewer's ApplyTraceSettings callbacks.
//
// Each callback is printed as one JSON line on the output ({"supplier":7,"level":-1,"settings":"...",
// "exceptions":"..."}, texts converted from the ANSI code page to UTF-8) before it is answered. An answer
// 0 takes the values over (Current() then reports them and the Applied observer is told). An answer 0 to
// a poll means the viewer no longer knows this process: the control re-registers, or ends, as the
// options say. A viewer that cannot be reached is looked up again at the next poll interval.
//
// Fault options (for tests): answer callbacks with a fixed non-zero code, end the process in the middle
// of a callback, stop polling after some polls, hang in a callback for a while.
//
// Threads: Run blocks on the calling thread (with PollOnInput also in reads of standard input, which a
// stop request does not interrupt); callbacks run on that thread, inside its poll. Current() and
// RequestStop() may be called from any thread. One object holds one connection to the viewer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/rpc/Rpc.h"
#include "server/ControlInterface.h"

namespace supplier {

struct tSupplierSpec {
  uint32_t SupplierID = 1;
  std::string Name = "ReferenceSupplier";
  int32_t Level = 3;
  std::string Settings;
  std::string AuxText1;
  std::string AuxText2;
};

enum class tOnDropped { ReRegister, Exit };

struct tControlOptions {
  std::vector<tSupplierSpec> Suppliers;  // empty: one supplier with the defaults
  std::string Host = "localhost";
  std::optional<uint32_t> ProcessID;  // default: this process
  uint32_t PollIntervalMs = 1000;
  tOnDropped OnDropped = tOnDropped::ReRegister;
  uint32_t RunMs = 0;  // 0: until stopped
  // Faults.
  int32_t CallbackAnswer = 0;
  bool ExitInCallback = false;
  uint32_t HangInCallbackMs = 0;
  int32_t StopPollingAfter = -1;  // polls; -1 never
  // Poll once per line read from standard input instead of by the interval; end at the input's end.
  bool PollOnInput = false;
};

// The values the viewer last pushed to one supplier (or its registered ones until then).
struct tAppliedValues {
  int32_t Level = 0;
  std::string Settings;
  std::string ExceptionSettings;
};

enum class tOptionResult { NotMine, Taken, Error };

// Offers one command-line argument to the control options. Every --reg-id starts a new supplier; the
// other --reg-* options describe the latest one. Error sets Message.
//   --reg-id=N --reg-name=S --reg-level=L --reg-settings=S --reg-aux1=S --reg-aux2=S
//   --host=H --process-id=N --poll-ms=N --on-dropped=reregister|exit --run-ms=N
//   --answer=N --exit-in-callback --hang-in-callback=MS --stop-polling-after=N --poll-on-input
tOptionResult ParseControlOption(std::string_view Arg, tControlOptions& Options, std::string& Message);
// The lines for a usage text.
const char* ControlOptionsUsage();

// Whether a supplier at trace level TraceLevel writes an event with LevelWord: level 0 writes nothing,
// -1 (or any negative level) everything, a positive level n the events whose level (low 16 bits) is
// one of the n lowest flags 0x0001 .. 1 << (n - 1) (so 3, "low verbosity", writes 0x0001 to 0x0004).
bool LevelAllows(int32_t TraceLevel, uint32_t LevelWord);

// One callback as the JSON line printed for it (without the line end).
std::string ApplyJsonLine(const control::tApplyArgs& Args);

class tSupplierControl {
 public:
  using tApplied = std::function<void(const control::tApplyArgs&)>;

  // Out receives the JSON lines (flushed after each); Diagnostics the supplier's own messages (may be
  // null). Applied (optional) is told of every callback that was answered 0.
  tSupplierControl(tControlOptions Options, std::FILE* Out, std::FILE* Diagnostics, tApplied Applied = nullptr);
  ~tSupplierControl();
  tSupplierControl(const tSupplierControl&) = delete;
  tSupplierControl& operator=(const tSupplierControl&) = delete;

  // Polls until RequestStop, the run time is over, or the viewer dropped the process and the options say
  // exit. Returns the process exit code: 0 after a stop or the run time, 3 after a drop with Exit.
  int Run();
  void RequestStop() { stop_.store(true); }

  // Single steps (Run uses these; the load benchmark drives them itself).
  lw::rpc::RPC_STATUS Connect();
  lw::rpc::RPC_STATUS RegisterAll();
  // The viewer's answer in Result when the status is RPC_S_OK.
  lw::rpc::RPC_STATUS Poll(int32_t& Result);
  void Disconnect();

  std::optional<tAppliedValues> Current(uint32_t SupplierID) const;
  uint32_t ProcessID() const { return processId_; }
  const tControlOptions& Options() const { return options_; }

 private:
  lw::rpc::RPC_STATUS applyTraceSettings(lw::rpc::CallContext& Call, lw::rpc::NdrReader& In,
                                         lw::rpc::NdrWriter& Out);
  void diagnose(const std::string& Message);
  bool sleepInterval(uint64_t Deadline);

  tControlOptions options_;
  std::FILE* out_;
  std::FILE* diagnostics_;
  tApplied applied_;
  uint32_t processId_ = 0;
  lw::rpc::RPC_BINDING_HANDLE binding_ = nullptr;
  lw::rpc::CallbackTable callbacks_;
  std::atomic<bool> stop_{false};
  mutable std::mutex valuesMutex_;
  std::map<uint32_t, tAppliedValues> values_;
};

}  // namespace supplier
