#include "capture/thruETWReaderThread.h"

#include <cstring>
#include <utility>

#include "platform/os/FileSystem.h"
#include "platform/os/Os.h"
#include "server/LogItems.h"

using namespace lw::etw;

const char* const kSessionName = "qdEventLogSession_1";
const lw::tGuid kSessionGuid = {0xDD61CD53, 0xBB41, 0x4B3F, {0xA8, 0x81, 0xBA, 0x7D, 0x75, 0xDE, 0x22, 0xE9}};
const char* const kMainLogFileName = "QD_VELDdll.etl";
const char* const kNumberedLogFilePattern = "QD_VELDdll_???.etl";

std::string CurrentLogFile;

namespace {

constexpr const char* kUnitName = "thruETWReaderThread";
constexpr uint32_t kErrorLevel = 0x0001;

// The name at Offset of a block, read no further than the block's end.
std::string NameAt(const tPropertiesBlock& Block, uint32_t Offset) {
  if (Offset < sizeof(EVENT_TRACE_PROPERTIES) || Offset >= sizeof(tPropertiesBlock)) return {};
  const char* p = reinterpret_cast<const char*>(&Block) + Offset;
  size_t room = sizeof(tPropertiesBlock) - Offset;
  const void* nul = std::memchr(p, 0, room);
  return std::string(p, nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - p) : room);
}

void Append(std::vector<tFileInfo>& List, const std::vector<lw::os::tFindData>& Found) {
  for (const auto& f : Found) {
    if (!f.IsDirectory) List.push_back(tFileInfo{f.Name, f.LastWrite, f.Size});
  }
}

// Milliseconds since 1601: the calendar time's resolution, so files less than 1 ms apart compare equal.
uint64_t Millis(lw::tFileTime T) { return T.Value / 10000; }

}  // namespace

bool FindLogFiles(std::vector<tFileInfo>& List) { return FindLogFiles(List, lw::os::ProgramFolder()); }

bool FindLogFiles(std::vector<tFileInfo>& List, const std::string& Folder) {
  List.clear();
  auto main = lw::os::FindFiles(Folder, kMainLogFileName);
  if (main.empty()) return false;
  Append(List, main);
  auto numbered = lw::os::FindFiles(Folder, kNumberedLogFilePattern);
  if (numbered.empty()) return false;
  Append(List, numbered);
  // Exchange sort over neighbours; a pair is swapped only when the first is strictly later, so equal
  // times keep the order of the searches.
  for (size_t n = List.size(); n > 1; --n) {
    for (size_t i = 0; i + 1 < n; ++i) {
      if (Millis(List[i].LastWrite) > Millis(List[i + 1].LastWrite)) std::swap(List[i], List[i + 1]);
    }
  }
  return true;
}

std::string ETWStatusName(uint32_t Code) {
  switch (Code) {
    case 0: return "SUCCESS";
    case 5: return "ACCESS_DENIED";
    case 6: return "INVALID_HANDLE";
    case 24: return "BAD_LENGTH";
    case 87: return "INVALID_PARAMETER";
    case 112: return "DISK_FULL";
    case 161: return "BAD_PATHNAME";
    case 183: return "ALREADY_EXISTS";
    case 234: return "MORE_DATA IS AVAILABLE";
    case 998: return "NOACCESS";
    case 1223: return "CANCELLED";
    case 1901: return "INVALID_TIME";
    case 4201: return "INSTANCE_NOT_FOUND";
    case 4206: return "WMI_ALREADY_ENABLED";
    default: return "Unknown";
  }
}

std::unique_ptr<tPropertiesBlock> tETWReaderThread::BuildProperties(const std::string& Name, const std::string& File) {
  auto block = std::make_unique<tPropertiesBlock>();
  std::memset(static_cast<void*>(block.get()), 0, sizeof(tPropertiesBlock));
  EVENT_TRACE_PROPERTIES& p = block->Props;
  p.Wnode.BufferSize = sizeof(tPropertiesBlock);
  p.Wnode.Guid = kSessionGuid;
  p.Wnode.ClientContext = 1;
  p.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  p.BufferSize = 16;
  p.MinimumBuffers = 4;
  p.MaximumBuffers = 32;
  p.MaximumFileSize = 10;
  p.LogFileMode = EVENT_TRACE_USE_PAGED_MEMORY | EVENT_TRACE_REAL_TIME_MODE | EVENT_TRACE_FILE_MODE_CIRCULAR;
  if (SetPropertyNames(*block, Name, File) != ERROR_SUCCESS) {
    // Offsets without names: the caller learns of the refusal from SetPropertyNames on its own.
    p.LoggerNameOffset = offsetof(tPropertiesBlock, LoggerName);
    p.LogFileNameOffset = offsetof(tPropertiesBlock, LogFileName);
  }
  return block;
}

uint32_t tETWReaderThread::SetPropertyNames(tPropertiesBlock& Block, const std::string& Name, const std::string& File) {
  if (Name.size() >= kNameFieldSize || File.size() >= kNameFieldSize) return ERROR_INVALID_PARAMETER;
  Block.Props.LoggerNameOffset = offsetof(tPropertiesBlock, LoggerName);
  Block.Props.LogFileNameOffset = offsetof(tPropertiesBlock, LogFileName);
  std::memcpy(Block.LoggerName, Name.c_str(), Name.size() + 1);
  std::memcpy(Block.LogFileName, File.c_str(), File.size() + 1);
  return ERROR_SUCCESS;
}

tETWReaderThread::tETWReaderThread(tTraceApi& Api, std::string ReplayFolder)
    : api_(Api), replayFolder_(ReplayFolder.empty() ? lw::os::ProgramFolder() : std::move(ReplayFolder)) {
  WorkProps = BuildProperties("", "");
  SessionProps = BuildProperties(kSessionName, CurrentLogFile);
  if (SetPropertyNames(*SessionProps, kSessionName, CurrentLogFile) != ERROR_SUCCESS) {
    // A log-file path too long for its field: the session is never started with a cut name.
    sessionPropsValid_ = false;
    Status = ERROR_INVALID_PARAMETER;
  }
}

tETWReaderThread::~tETWReaderThread() {
  Terminate();
  {
    std::lock_guard lock(propsMutex_);
    if (sessionHandle_ != 0) {
      stopSessionLocked();
    } else {
      SessionProps->Props.LogFileNameOffset = 0;
      SessionProps->Props.LogFileMode = 0;
      api_.UpdateTraceA(0, kSessionName, &SessionProps->Props);
    }
  }
  Resume();
  WaitFor();
}

TRACEHANDLE tETWReaderThread::SessionHandle() const {
  std::lock_guard lock(propsMutex_);
  return sessionHandle_;
}

tPropertiesBlock tETWReaderThread::SessionPropsCopy() const {
  std::lock_guard lock(propsMutex_);
  return *SessionProps;
}

tPropertiesBlock tETWReaderThread::WorkPropsCopy() const {
  std::lock_guard lock(propsMutex_);
  return *WorkProps;
}

void tETWReaderThread::CopySessionProps() {
  std::memcpy(static_cast<void*>(WorkProps.get()), SessionProps.get(), SessionProps->Props.Wnode.BufferSize);
}

void tETWReaderThread::report(std::atomic<uint32_t>& Last, const char* What, uint32_t Code, int Line) {
  if (Code == ERROR_SUCCESS) {
    Last = ERROR_SUCCESS;
    return;
  }
  if (Last.exchange(Code) == Code) return;
  AddOwnLogItem(kErrorLevel, 0, kUnitName, Line,
                std::string(What) + " failed: " + ETWStatusName(Code) + " (" + std::to_string(Code) + ")");
}

uint32_t tETWReaderThread::StartSession() {
  std::lock_guard lock(propsMutex_);
  uint32_t status = startSessionLocked();
  report(lastStartFailure_, "Start of the trace session", status, __LINE__);
  return status;
}

uint32_t tETWReaderThread::startSessionLocked() {
  // After the shutdown step nothing may be started or joined: nobody would stop it.
  if (Terminated()) return ERROR_CANCELLED;
  SetPropertyNames(*WorkProps, "", "");
  uint32_t status = api_.QueryTraceA(0, kSessionName, &WorkProps->Props);
  Status = status;
  if (status == ERROR_SUCCESS) {
    std::string file = NameAt(*WorkProps, WorkProps->Props.LogFileNameOffset);
    if (!file.empty() && file != CurrentLogFile &&
        SetPropertyNames(*SessionProps, kSessionName, file) == ERROR_SUCCESS) {
      CurrentLogFile = file;
      sessionPropsValid_ = true;
    }
    TRACEHANDLE logger = api_.GetTraceLoggerHandle(&WorkProps->Props);
    Status = api_.EnableTrace(1, kEnableFlags, kEnableLevel, &kSessionGuid, logger);
    if ((WorkProps->Props.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0) return ERROR_SUCCESS;
    CopySessionProps();
    WorkProps->Props.LogFileNameOffset = 0;
    WorkProps->Props.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    status = api_.UpdateTraceA(0, kSessionName, &WorkProps->Props);
    Status = status;
    return status;
  }
  if (status == ERROR_WMI_INSTANCE_NOT_FOUND) {
    if (!sessionPropsValid_) {
      Status = ERROR_INVALID_PARAMETER;
      return ERROR_INVALID_PARAMETER;
    }
    // The start works on a copy, so that what the platform writes back does not change SessionProps.
    CopySessionProps();
    TRACEHANDLE handle = 0;
    status = api_.StartTraceA(&handle, kSessionName, &WorkProps->Props);
    Status = status;
    if (status != ERROR_SUCCESS) return status;
    sessionHandle_ = handle;
    status = api_.EnableTrace(1, kEnableFlags, kEnableLevel, &kSessionGuid, sessionHandle_);
    Status = status;
    return status;
  }
  return status;
}

uint32_t tETWReaderThread::FlushSession() {
  std::unique_lock lock(propsMutex_, std::try_to_lock);
  if (!lock.owns_lock()) return ERROR_SUCCESS;  // the reader is between consumptions: nothing to hand over
  CopySessionProps();
  uint32_t status = api_.ControlTraceA(0, kSessionName, &WorkProps->Props, EVENT_TRACE_CONTROL_FLUSH);
  Status = status;
  report(lastFlushFailure_, "Flush of the trace session", status, __LINE__);
  return status;
}

void tETWReaderThread::StopSession() {
  std::lock_guard lock(propsMutex_);
  stopSessionLocked();
}

void tETWReaderThread::stopSessionLocked() {
  CopySessionProps();
  Status = api_.ControlTraceA(0, kSessionName, &WorkProps->Props, EVENT_TRACE_CONTROL_STOP);
}

void tETWReaderThread::Execute() {
  NameThread("ETWReader");
  EVENT_TRACE_LOGFILEA descriptor{};
  descriptor.EventCallback = EventCallback;
  TRACEHANDLE trace = INVALID_PROCESSTRACE_HANDLE;
  bool open = false;

  std::vector<tFileInfo> files;
  FindLogFiles(files, replayFolder_);

  // Replay, newest first. The stop request is not consulted here.
  bool openFailed = false;
  std::string path;
  uint64_t total = 0;
  while (!files.empty() && total < kReplayBudget) {
    if (open) {
      api_.CloseTrace(trace);
      open = false;
    }
    tFileInfo file = files.back();
    files.pop_back();
    total += file.Size;
    path = replayFolder_ + file.Name;
    CurrentLogFile = path;
    descriptor.LogFileName = path.data();
    descriptor.LogFileMode = PROCESS_TRACE_MODE_LOGFILE;
    trace = api_.OpenTraceA(&descriptor);
    if (trace == INVALID_PROCESSTRACE_HANDLE) {
      Status = lw::os::GetLastError();
      openFailed = true;
      break;
    }
    open = true;
    Status = api_.ProcessTrace(&trace, 1, nullptr, nullptr);
  }

  if (!openFailed) {
    std::string loggerName = kSessionName;
    descriptor.LoggerName = loggerName.data();
    descriptor.LogFileName = nullptr;
    descriptor.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    bool denied = false;
    while (!Terminated()) {
      uint32_t status = StartSession();
      Status = status;
      if (status == ERROR_ACCESS_DENIED) {
        denied = true;
        break;
      }
      if (status != ERROR_SUCCESS) continue;
      if (open) {
        api_.CloseTrace(trace);
        open = false;
      }
      trace = api_.OpenTraceA(&descriptor);
      if (trace == INVALID_PROCESSTRACE_HANDLE) {
        Status = lw::os::GetLastError();
        report(lastConsumeFailure_, "Opening the trace session", Status, __LINE__);
        break;
      }
      open = true;
      Processing = true;
      status = api_.ProcessTrace(&trace, 1, nullptr, nullptr);
      Status = status;
      Processing = false;
      report(lastConsumeFailure_, "Consumption of the trace session", status, __LINE__);
    }
    if (open) {
      if (denied) {
        // The last replayed file is still open: release it, and keep the 5 the window is to read.
        api_.CloseTrace(trace);
      } else {
        Status = api_.CloseTrace(trace);
      }
      open = false;
    }
  }

  while (!Terminated()) lw::os::Sleep(200);
}
