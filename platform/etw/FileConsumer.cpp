#include "platform/etw/FileConsumer.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/os/Os.h"

namespace lw::etw {

namespace {

inline constexpr ULONG kMaxHandles = 64;

struct tFileTrace {
  std::string Path;
  EVENT_TRACE_LOGFILEA Logfile{};  // our copy, handed to the buffer callback
  lw::etl::tEtlReader Reader;
  std::atomic<bool> Closed{false};
  std::mutex Busy;  // one ProcessFileTraces at a time
};

std::mutex TableLock;
std::map<TRACEHANDLE, std::shared_ptr<tFileTrace>>& table() {
  static std::map<TRACEHANDLE, std::shared_ptr<tFileTrace>> t;
  return t;
}
uint64_t NextHandle = 1;

std::shared_ptr<tFileTrace> find(TRACEHANDLE Handle) {
  std::lock_guard<std::mutex> guard(TableLock);
  auto it = table().find(Handle);
  return it == table().end() ? nullptr : it->second;
}

}  // namespace

bool IsFileTraceHandle(TRACEHANDLE Handle) { return (Handle >> 62) == 1; }

void FillLogfileHeader(const lw::etl::tLogHeader& H, TRACE_LOGFILE_HEADER& Out) {
  Out = TRACE_LOGFILE_HEADER{};
  Out.BufferSize = H.BufferSize;
  Out.Version = H.Version;
  Out.ProviderVersion = H.ProviderVersion;
  Out.NumberOfProcessors = H.NumberOfProcessors;
  Out.EndTime = static_cast<int64_t>(H.EndTime);
  Out.TimerResolution = H.TimerResolution;
  Out.MaximumFileSize = H.MaximumFileSize;
  Out.LogFileMode = H.LogFileMode;
  Out.BuffersWritten = H.BuffersWritten;
  Out.StartBuffers = H.StartBuffers;
  Out.PointerSize = H.PointerSize;
  Out.EventsLost = H.EventsLost;
  Out.CpuSpeedInMHz = H.CpuSpeedInMHz;
  Out.BootTime = static_cast<int64_t>(H.BootTime);
  Out.PerfFreq = H.PerfFreq;
  Out.StartTime = static_cast<int64_t>(H.StartTime);
  Out.ReservedFlags = H.ReservedFlags;
  Out.BuffersLost = H.BuffersLost;
}

void FillEventTrace(const lw::etl::tRecord& R, EVENT_TRACE& Out) {
  Out = EVENT_TRACE{};
  const size_t total = sizeof(EVENT_TRACE_HEADER) + R.Payload.size();
  Out.Header.Size = static_cast<uint16_t>(std::min<size_t>(total, 0xFFFF));
  Out.Header.HeaderType = R.HeaderType;
  Out.Header.MarkerFlags = R.MarkerFlags;
  Out.Header.Class.Type = R.Type;
  Out.Header.Class.Level = R.Level;
  Out.Header.Class.Version = R.Version;
  Out.Header.ThreadId = R.ThreadId;
  Out.Header.ProcessId = R.ProcessId;
  Out.Header.TimeStamp = static_cast<int64_t>(R.Time.Value);
  Out.Header.Guid = R.Guid;
  Out.Header.KernelTime = R.KernelTime;
  Out.Header.UserTime = R.UserTime;
  Out.InstanceId = R.InstanceId;
  Out.ParentInstanceId = R.ParentInstanceId;
  Out.ParentGuid = R.ParentGuid;
  // The callback's view of the payload is read-only in practice; the platform's field is not const.
  Out.MofData = R.Payload.empty() ? nullptr : const_cast<uint8_t*>(R.Payload.data());
  Out.MofLength = static_cast<ULONG>(R.Payload.size());
  Out.BufferContext.ProcessorNumber = static_cast<uint8_t>(R.ProcessorIndex);
  Out.BufferContext.Alignment = 0;
  Out.BufferContext.LoggerId = R.LoggerId;
}

TRACEHANDLE OpenFileTrace(EVENT_TRACE_LOGFILEA* Logfile) {
  if (Logfile == nullptr || Logfile->LogFileName == nullptr) {
    lw::os::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_PROCESSTRACE_HANDLE;
  }
  auto trace = std::make_shared<tFileTrace>();
  trace->Path = Logfile->LogFileName;
  const uint32_t status = trace->Reader.Open(trace->Path);
  if (status != 0) {
    lw::os::SetLastError(status);
    return INVALID_PROCESSTRACE_HANDLE;
  }
  FillLogfileHeader(trace->Reader.Header(), Logfile->LogfileHeader);
  Logfile->BufferSize = trace->Reader.Header().BufferSize;
  Logfile->BuffersRead = 0;
  Logfile->CurrentTime = static_cast<int64_t>(trace->Reader.Header().StartTime);
  trace->Logfile = *Logfile;
  trace->Logfile.LogFileName = trace->Path.data();
  trace->Logfile.LoggerName = nullptr;

  std::lock_guard<std::mutex> guard(TableLock);
  const TRACEHANDLE handle = kFileTraceHandleBit | (NextHandle++ & (kFileTraceHandleBit - 1));
  table()[handle] = std::move(trace);
  return handle;
}

ULONG CloseFileTrace(TRACEHANDLE Handle) {
  std::shared_ptr<tFileTrace> trace;
  {
    std::lock_guard<std::mutex> guard(TableLock);
    auto it = table().find(Handle);
    if (it == table().end()) return ERROR_INVALID_HANDLE;
    trace = std::move(it->second);
    table().erase(it);
  }
  trace->Closed = true;
  return ERROR_SUCCESS;
}

bool FileTraceStats(TRACEHANDLE Handle, lw::etl::tReadStats& Out) {
  std::shared_ptr<tFileTrace> trace = find(Handle);
  if (!trace) return false;
  std::lock_guard<std::mutex> hold(trace->Busy);
  Out = trace->Reader.Stats();
  return true;
}

ULONG ProcessFileTraces(TRACEHANDLE* Handles, ULONG Count, const tFileTime* Start, const tFileTime* End) {
  if (Handles == nullptr || Count == 0 || Count > kMaxHandles) return ERROR_INVALID_PARAMETER;

  struct tInput {
    std::shared_ptr<tFileTrace> Trace;
    std::unique_lock<std::mutex> Hold;
    lw::etl::tRecord Pending;
    bool HasPending = false;
    uint64_t BuffersSeen = 0;
  };
  std::vector<tInput> inputs(Count);
  for (ULONG i = 0; i < Count; ++i) {
    inputs[i].Trace = find(Handles[i]);
    if (!inputs[i].Trace) return ERROR_INVALID_HANDLE;
  }
  for (auto& in : inputs) {
    // The same handle twice in one call is walked once.
    const bool again = std::any_of(inputs.begin(), inputs.end(), [&](const tInput& o) {
      return &o != &in && o.Trace == in.Trace && o.Hold.owns_lock();
    });
    if (again) {
      in.Trace.reset();
      continue;
    }
    in.Hold = std::unique_lock<std::mutex>(in.Trace->Busy);
    in.Trace->Reader.Rewind();
    in.Trace->Logfile.BuffersRead = 0;
    in.HasPending = in.Trace->Reader.NextEvent(in.Pending);
  }

  // After each finished buffer: the descriptor's counters, then its buffer callback.
  auto buffersDone = [](tInput& In) -> bool {
    const uint64_t read = In.Trace->Reader.Stats().BuffersRead;
    if (read == In.BuffersSeen) return true;
    In.BuffersSeen = read;
    EVENT_TRACE_LOGFILEA& lf = In.Trace->Logfile;
    lf.BuffersRead = static_cast<ULONG>(read);
    if (lf.BufferCallback != nullptr && lf.BufferCallback(&lf) == 0) return false;
    return true;
  };

  // Each file's header event comes before any event; the rest by time, ties in the order of the handles.
  auto earlier = [](const lw::etl::tRecord& A, const lw::etl::tRecord& B) {
    const bool headerA = A.Kind == lw::etl::tRecordKind::HeaderEvent;
    const bool headerB = B.Kind == lw::etl::tRecordKind::HeaderEvent;
    if (headerA != headerB) return headerA;
    return A.Time < B.Time;
  };
  for (;;) {
    tInput* best = nullptr;
    for (auto& in : inputs) {
      if (!in.Trace) continue;
      if (in.Trace->Closed) return ERROR_CANCELLED;
      if (!buffersDone(in)) return ERROR_CANCELLED;
      if (in.HasPending && (best == nullptr || earlier(in.Pending, best->Pending))) best = &in;
    }
    if (best == nullptr) break;
    const lw::etl::tRecord& r = best->Pending;
    const bool header = r.Kind == lw::etl::tRecordKind::HeaderEvent;
    if (header || ((Start == nullptr || r.Time >= *Start) && (End == nullptr || r.Time <= *End))) {
      EVENT_TRACE event;
      FillEventTrace(r, event);
      best->Trace->Logfile.CurrentTime = event.Header.TimeStamp;
      if (best->Trace->Logfile.EventCallback != nullptr) best->Trace->Logfile.EventCallback(&event);
    }
    best->HasPending = best->Trace->Reader.NextEvent(best->Pending);
  }
  return ERROR_SUCCESS;
}

}  // namespace lw::etw
