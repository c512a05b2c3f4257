// A scripted trace API: records every call with its arguments and a copy of the block it was given,
// and answers as the test says. Its real-time session behaves as a session does for a consumer: a
// ProcessTrace on it runs until the session is stopped or its real-time delivery is switched off (or
// the test ends it), so the reader's live loop and shutdown can be followed step by step.
#pragma once

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "capture/thruETWReaderThread.h"
#include "platform/etw/Etw.h"
#include "platform/os/Os.h"

namespace lw::etw::test {

struct tCall {
  std::string Name;
  TRACEHANDLE Handle = 0;
  std::string Session;
  bool HasBlock = false;
  tPropertiesBlock Block{};
  ULONG Code = 0;  // control code, enable flag
  ULONG Flags = 0;
  ULONG Level = 0;
  tGuid Guid;
  std::string LogFileName;  // descriptor of OpenTraceA
  std::string LoggerName;
  ULONG Mode = 0;
};

class tScriptedTraceApi : public tTraceApi {
 public:
  static constexpr TRACEHANDLE kStartedHandle = 0x5150;
  static constexpr TRACEHANDLE kLoggerHandle = 0x7000;
  static constexpr TRACEHANDLE kLiveHandle = 0x9001;

  // Answers. Each queue is used front first; when it is empty the default after it applies.
  std::deque<ULONG> QueryResults;
  ULONG QueryDefault = ERROR_WMI_INSTANCE_NOT_FOUND;
  // Fills the block of a successful query (the session as it stands).
  std::function<void(tPropertiesBlock&)> QueryFill;
  std::deque<ULONG> StartResults;
  ULONG StartDefault = ERROR_SUCCESS;
  ULONG EnableResult = ERROR_SUCCESS;
  ULONG UpdateResult = ERROR_SUCCESS;
  ULONG FlushResult = ERROR_SUCCESS;
  ULONG StopResult = ERROR_SUCCESS;
  ULONG CloseResult = ERROR_SUCCESS;
  // Opens: a file whose path is listed here fails with this last error.
  std::string FailOpenOf;
  ULONG FailOpenError = ERROR_FILE_NOT_FOUND;
  std::deque<ULONG> LiveOpenErrors;  // 0: the live open succeeds
  // Replay: called for each file's ProcessTrace, with the descriptor's callback at hand.
  std::function<ULONG(const std::string& Path, PEVENT_CALLBACK Callback)> OnFile;
  // What a live ProcessTrace returns when it is ended by the session (stop or real-time off).
  ULONG LiveEndResult = ERROR_SUCCESS;

  std::vector<tCall> Calls() {
    std::lock_guard l(mutex_);
    return calls_;
  }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (const auto& c : Calls()) out.push_back(c.Name);
    return out;
  }
  size_t Count(const std::string& Name) {
    size_t n = 0;
    for (const auto& c : Calls()) n += c.Name == Name ? 1u : 0u;
    return n;
  }
  // The live consumption ends with this status, as if the session had stopped delivering.
  void EndLive(ULONG Status) {
    std::lock_guard l(mutex_);
    liveEnd_ = true;
    liveResult_ = Status;
    cv_.notify_all();
  }
  bool InLive() {
    std::lock_guard l(mutex_);
    return inLive_;
  }
  // Delivers one event to the live consumer's callback (on the caller's thread).
  PEVENT_CALLBACK LiveCallback() {
    std::lock_guard l(mutex_);
    return liveCallback_;
  }

  ULONG StartTraceA(TRACEHANDLE* SessionHandle, const char* SessionName, EVENT_TRACE_PROPERTIES* P) override {
    ULONG r = Pop(StartResults, StartDefault);
    Record("StartTraceA", 0, SessionName, P);
    if (r == ERROR_SUCCESS) {
      *SessionHandle = kStartedHandle;
      P->Wnode.HistoricalContext = kStartedHandle;
    }
    return r;
  }
  ULONG ControlTraceA(TRACEHANDLE H, const char* SessionName, EVENT_TRACE_PROPERTIES* P, ULONG Code) override {
    Record("ControlTraceA", H, SessionName, P, [&](tCall& c) { c.Code = Code; });
    if (Code == EVENT_TRACE_CONTROL_STOP) {
      EndLive(LiveEndResult);
      return StopResult;
    }
    if (Code == EVENT_TRACE_CONTROL_FLUSH) {
      // The platform writes the session's state back into the block it is given.
      P->EventsLost = 77;
      return FlushResult;
    }
    return ERROR_SUCCESS;
  }
  ULONG QueryTraceA(TRACEHANDLE H, const char* SessionName, EVENT_TRACE_PROPERTIES* P) override {
    ULONG r = Pop(QueryResults, QueryDefault);
    Record("QueryTraceA", H, SessionName, P);
    if (r == ERROR_SUCCESS && QueryFill) {
      tPropertiesBlock b;
      std::memcpy(static_cast<void*>(&b), P, sizeof b);
      QueryFill(b);
      b.Props.Wnode.HistoricalContext = kLoggerHandle;
      std::memcpy(static_cast<void*>(P), &b, sizeof b);
    }
    return r;
  }
  ULONG UpdateTraceA(TRACEHANDLE H, const char* SessionName, EVENT_TRACE_PROPERTIES* P) override {
    Record("UpdateTraceA", H, SessionName, P);
    if ((P->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) == 0) EndLive(LiveEndResult);
    return UpdateResult;
  }
  TRACEHANDLE GetTraceLoggerHandle(void* Buffer) override {
    WNODE_HEADER w;
    std::memcpy(&w, Buffer, sizeof w);
    Record("GetTraceLoggerHandle", w.HistoricalContext, nullptr, nullptr);
    return w.HistoricalContext;
  }
  ULONG EnableTrace(ULONG Enable, ULONG Flags, ULONG Level, const GUID* Guid, TRACEHANDLE H) override {
    Record("EnableTrace", H, nullptr, nullptr, [&](tCall& c) {
      c.Code = Enable;
      c.Flags = Flags;
      c.Level = Level;
      c.Guid = *Guid;
    });
    return EnableResult;
  }
  TRACEHANDLE OpenTraceA(EVENT_TRACE_LOGFILEA* L) override {
    Record("OpenTraceA", 0, nullptr, nullptr, [&](tCall& c) {
      c.LogFileName = L->LogFileName != nullptr ? L->LogFileName : "";
      c.LoggerName = L->LoggerName != nullptr ? L->LoggerName : "";
      c.Mode = L->LogFileMode;
    });
    std::lock_guard l(mutex_);
    if (L->LogFileName != nullptr) {
      if (FailOpenOf == L->LogFileName) {
        lw::os::SetLastError(FailOpenError);
        return INVALID_PROCESSTRACE_HANDLE;
      }
      files_.push_back({L->LogFileName, L->EventCallback});
      return 0x100 + files_.size();
    }
    ULONG error = LiveOpenErrors.empty() ? 0 : LiveOpenErrors.front();
    if (!LiveOpenErrors.empty()) LiveOpenErrors.pop_front();
    if (error != 0) {
      lw::os::SetLastError(error);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    liveCallback_ = L->EventCallback;
    return kLiveHandle;
  }
  ULONG ProcessTrace(TRACEHANDLE* Handles, ULONG Count, const tFileTime* Start, const tFileTime* End) override {
    Record("ProcessTrace", Count == 1 ? Handles[0] : 0, nullptr, nullptr, [&](tCall& c) {
      c.Code = Count;
      c.Flags = (Start == nullptr && End == nullptr) ? 0 : 1;
    });
    if (Handles[0] != kLiveHandle) {
      std::pair<std::string, PEVENT_CALLBACK> file;
      {
        std::lock_guard l(mutex_);
        file = files_.at(static_cast<size_t>(Handles[0] - 0x101));
      }
      return OnFile ? OnFile(file.first, file.second) : ERROR_SUCCESS;
    }
    std::unique_lock l(mutex_);
    inLive_ = true;
    cv_.wait(l, [&] { return liveEnd_; });
    liveEnd_ = false;
    inLive_ = false;
    return liveResult_;
  }
  ULONG CloseTrace(TRACEHANDLE H) override {
    Record("CloseTrace", H, nullptr, nullptr);
    return CloseResult;
  }
  ULONG RegisterTraceGuidsA(WMIDPREQUEST, void*, const GUID*, ULONG, TRACE_GUID_REGISTRATION*, const char*,
                            const char*, TRACEHANDLE*) override {
    return ERROR_NOT_SUPPORTED;
  }
  ULONG UnregisterTraceGuids(TRACEHANDLE) override { return ERROR_NOT_SUPPORTED; }
  ULONG TraceEvent(TRACEHANDLE, EVENT_TRACE_HEADER*) override { return ERROR_NOT_SUPPORTED; }
  uint8_t GetTraceEnableLevel(TRACEHANDLE) override { return 0; }
  ULONG GetTraceEnableFlags(TRACEHANDLE) override { return 0; }

 private:
  ULONG Pop(std::deque<ULONG>& Q, ULONG Default) {
    std::lock_guard l(mutex_);
    if (Q.empty()) return Default;
    ULONG r = Q.front();
    Q.pop_front();
    return r;
  }
  void Record(const char* Name, TRACEHANDLE H, const char* Session, const EVENT_TRACE_PROPERTIES* P,
              const std::function<void(tCall&)>& Extra = {}) {
    std::lock_guard l(mutex_);
    tCall c;
    c.Name = Name;
    c.Handle = H;
    c.Session = Session != nullptr ? Session : "";
    if (P != nullptr) {
      c.HasBlock = true;
      std::memcpy(static_cast<void*>(&c.Block), P, sizeof c.Block);
    }
    if (Extra) Extra(c);
    calls_.push_back(std::move(c));
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<tCall> calls_;
  std::vector<std::pair<std::string, PEVENT_CALLBACK>> files_;
  PEVENT_CALLBACK liveCallback_ = nullptr;
  bool liveEnd_ = false;
  bool inLive_ = false;
  ULONG liveResult_ = 0;
};

}  // namespace lw::etw::test
