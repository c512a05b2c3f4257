// The reader unit: log entries from trace events, the reader thread, session control and replay.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "capture/EventDecoder.h"
#include "platform/etw/Etw.h"
#include "platform/os/Thread.h"

// Numbers the entry, appends it to LogItems and trims the queue. Thread-safe (takes the queue's lock).
void AddLogItem(uint32_t LevelWord, int32_t Category, const std::string& File, int32_t Line,
                const std::string& Message, double Time, uint32_t ProcessID, uint32_t ThreadID);
// The same, taking the texts over instead of copying them (the decoder's path).
void AddLogItem(uint32_t LevelWord, int32_t Category, std::string&& File, int32_t Line, std::string&& Message,
                double Time, uint32_t ProcessID, uint32_t ThreadID);

// ----------------------------------------------------------------------------------------------------
// The reader thread, session control and replay.
//
// tETWReaderThread replays the log files that earlier runs left in the program's folder (newest first,
// until 10 MiB have been taken), then starts or joins the trace session "qdEventLogSession_1", enables
// the suppliers' provider on it and consumes it in real time until the stop request, starting or joining
// again whenever a consumption ends. Every event goes through EventCallback on the reader thread.
//
// Thread-safety
// - Execute, StartSession and the trace processing run on the reader thread.
// - IsProcessing, GetStatus, SetLevelFilter and FlushSession are for the window thread; Processing and
//   Status are atomics (the last writer of Status wins).
// - The two properties blocks and SessionHandle are guarded by one lock, held by StartSession, by
//   FlushSession and by the shutdown step of the destructor (StopSession or the real-time switch-off),
//   so that the window thread never meets the reader inside a block. FlushSession does not wait for the
//   lock: when the reader holds it, the reader is between two consumptions, there is nothing to hand
//   over, and the flush is passed over (0, Status untouched). A StartSession that finds the stop request
//   set starts nothing (1223), so no session is started after the shutdown step has run.
// - CurrentLogFile is written by the window before the reader exists and afterwards by the reader only.
//
// What it does not do: it never pauses between failed attempts to start or join (a status other than 5
// is retried at once), and it replays a file only once per run.
// The trace session the program consumes and the provider it enables there.
extern const char* const kSessionName;  // "qdEventLogSession_1"
extern const lw::tGuid kSessionGuid;   // {DD61CD53-BB41-4B3F-A881-BA7D75DE22E9}
inline constexpr uint32_t kEnableFlags = 0;
inline constexpr uint32_t kEnableLevel = 3;
inline constexpr uint64_t kReplayBudget = 10485760;  // bytes, tested before each file is taken
extern const char* const kMainLogFileName;      // "QD_VELDdll.etl"
extern const char* const kNumberedLogFilePattern;  // "QD_VELDdll_???.etl"

// Path of the session's log file as the reader knows it (see the thread-safety note above).
extern std::string CurrentLogFile;

// A properties block: the platform's structure followed by the session name and the log-file name.
inline constexpr size_t kNameFieldSize = 1024;
struct tPropertiesBlock {
  lw::etw::EVENT_TRACE_PROPERTIES Props;
  char LoggerName[kNameFieldSize];
  char LogFileName[kNameFieldSize];
};
static_assert(sizeof(tPropertiesBlock) == 2168);
static_assert(offsetof(tPropertiesBlock, LoggerName) == 120);
static_assert(offsetof(tPropertiesBlock, LogFileName) == 1144);

// One log file found for replay.
struct tFileInfo {
  std::string Name;  // without folder, as the directory search returns it
  lw::tFileTime LastWrite;
  uint64_t Size = 0;
};

// Fills List with the main file and the numbered files of the program's folder (or of Folder, which
// ends with a separator), oldest first at millisecond resolution, entries of equal time in the order
// the searches found them. Numbered files are looked for only when the main file exists; folders are
// never listed. False when the main file or the numbered files are missing.
bool FindLogFiles(std::vector<tFileInfo>& List);
bool FindLogFiles(std::vector<tFileInfo>& List, const std::string& Folder);

// Name of a status code of the trace calls ("Unknown" for codes without one).
std::string ETWStatusName(uint32_t Code);

class tETWReaderThread : public lw::os::tThread {
 public:
  // Created suspended. Api: the trace API to use; ReplayFolder: where earlier log files are looked
  // for, with a trailing separator (the program's folder unless a test says otherwise).
  explicit tETWReaderThread(lw::etw::tTraceApi& Api = lw::etw::SystemTraceApi(), std::string ReplayFolder = {});
  // Stop request; the shutdown step (stop the session if this reader started it, otherwise switch its
  // real-time delivery off); Resume; WaitFor. A replay in progress runs to its end first.
  ~tETWReaderThread() override;

  bool IsProcessing() const { return Processing.load(); }
  // 0 while a live consumption runs, otherwise the last status recorded.
  uint32_t GetStatus() const { return Processing.load() ? 0 : Status.load(); }
  void SetLevelFilter(int Value) { LevelFilter.store(Value); }
  // Makes the session hand over its buffers now; the result is recorded in Status.
  uint32_t FlushSession();

  // Session control, public for the tests; the reader calls them itself.
  uint32_t StartSession();
  void StopSession();
  lw::etw::TRACEHANDLE SessionHandle() const;

  static std::unique_ptr<tPropertiesBlock> BuildProperties(const std::string& Name, const std::string& File);
  // Sets the offsets and copies both names. A name of 1024 bytes or more is refused with 87 and the
  // block is left as it was.
  static uint32_t SetPropertyNames(tPropertiesBlock& Block, const std::string& Name, const std::string& File);
  void CopySessionProps();
  // Copies of the blocks, for the tests.
  tPropertiesBlock SessionPropsCopy() const;
  tPropertiesBlock WorkPropsCopy() const;

  std::atomic<bool> Processing{false};
  std::atomic<uint32_t> Status{0};

 protected:
  void Execute() override;

 private:
  uint32_t startSessionLocked();
  void stopSessionLocked();
  void report(std::atomic<uint32_t>& Last, const char* What, uint32_t Code, int Line);

  lw::etw::tTraceApi& api_;
  std::string replayFolder_;
  mutable std::mutex propsMutex_;  // SessionProps, WorkProps, sessionHandle_
  std::unique_ptr<tPropertiesBlock> SessionProps;
  std::unique_ptr<tPropertiesBlock> WorkProps;
  bool sessionPropsValid_ = true;  // false when the default log file did not fit its field
  lw::etw::TRACEHANDLE sessionHandle_ = 0;
  // The last failure added to the list per kind, so that a retrying loop adds it once.
  std::atomic<uint32_t> lastStartFailure_{0};
  std::atomic<uint32_t> lastFlushFailure_{0};
  std::atomic<uint32_t> lastConsumeFailure_{0};
};
