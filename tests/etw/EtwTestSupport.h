// Helpers for tests that run real session hosts: a private sessions folder, properties blocks, a
// consumer on a thread of its own, and the clean-up that leaves no host running.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/etw/Etw.h"
#include "platform/etw/posix/Socket.h"

namespace lw::etw::test {

// The block layout the reader uses: the structure, then the two names at 120 and 1144.
struct tBlock {
  EVENT_TRACE_PROPERTIES Props;
  char LoggerName[1024];
  char LogFileName[1024];
};
static_assert(sizeof(tBlock) == 2168);

inline const tGuid kProvider = *tGuid::Parse("DD61CD53-BB41-4B3F-A881-BA7D75DE22E9");
inline const tGuid kEventClass = *tGuid::Parse("8EC0B600-00C8-485F-B2DA-FB9121D128BA");

inline tBlock MakeBlock(const std::string& Name = "", const std::string& File = "",
                        ULONG Mode = 0x01000102, ULONG MaxBuffers = 32) {
  tBlock b{};
  b.Props.Wnode.BufferSize = sizeof(tBlock);
  b.Props.Wnode.Guid = kProvider;
  b.Props.Wnode.ClientContext = 1;
  b.Props.Wnode.Flags = WNODE_FLAG_TRACED_GUID;
  b.Props.BufferSize = 16;
  b.Props.MinimumBuffers = 4;
  b.Props.MaximumBuffers = MaxBuffers;
  b.Props.MaximumFileSize = 10;
  b.Props.LogFileMode = Mode;
  b.Props.LoggerNameOffset = offsetof(tBlock, LoggerName);
  b.Props.LogFileNameOffset = offsetof(tBlock, LogFileName);
  std::strncpy(b.LoggerName, Name.c_str(), sizeof b.LoggerName - 1);
  std::strncpy(b.LogFileName, File.c_str(), sizeof b.LogFileName - 1);
  return b;
}

// Waits, in bounded steps, until Done holds; false when it never did. Not a timing assertion: the
// limit only keeps a broken build from hanging.
inline bool WaitFor(const std::function<bool()>& Done, int LimitMs = 10000) {
  for (int waited = 0; waited < LimitMs; waited += 5) {
    if (Done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Done();
}

// True once the process has ended. A detached host is reaped by init, which may take its time; a
// zombie counts as ended.
inline bool ProcessGone(pid_t Pid) {
  if (::kill(Pid, 0) != 0) return true;
  std::string path = "/proc/" + std::to_string(Pid) + "/stat";
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return true;
  char buf[512] = {};
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  std::string stat(buf, n);
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// A private sessions folder for one test; on destruction every host found in it is stopped through the
// API, and killed by its pid if it does not go.
class tSessionFolder {
 public:
  tSessionFolder() {
    char tmpl[] = "/tmp/lwetw-XXXXXX";
    Path = ::mkdtemp(tmpl);
    ::chmod(Path.c_str(), 0755);
    ::setenv("LOGWARDEN_ETW_DIR", Path.c_str(), 1);
  }
  ~tSessionFolder() {
    StopAll();
    std::string cmd = "rm -rf '" + Path + "'";
    if (std::system(cmd.c_str()) != 0) {
    }
  }
  std::vector<std::string> Sessions() const {
    std::vector<std::string> out;
    if (DIR* d = ::opendir(Path.c_str())) {
      while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".sock") == 0) out.push_back(n.substr(0, n.size() - 5));
      }
      ::closedir(d);
    }
    return out;
  }
  void StopAll() {
    for (const auto& name : Sessions()) {
      tBlock b = MakeBlock();
      if (SystemTraceApi().QueryTraceA(0, name.c_str(), &b.Props) != ERROR_SUCCESS) continue;
      auto pid = static_cast<pid_t>(b.Props.LoggerThreadId);
      tBlock s = MakeBlock();
      SystemTraceApi().ControlTraceA(0, name.c_str(), &s.Props, EVENT_TRACE_CONTROL_STOP);
      if (pid > 0 && !WaitFor([&] { return ProcessGone(pid); }, 5000)) ::kill(pid, SIGKILL);
    }
  }
  std::string Path;
};

struct tSeenEvent {
  tGuid Guid;
  uint32_t ProcessId = 0;
  uint32_t ThreadId = 0;
  int64_t TimeStamp = 0;
  std::vector<uint8_t> Payload;
};

// Events the callbacks of this test binary saw (the callback has no context of its own).
struct tSeen {
  std::mutex Mutex;
  std::vector<tSeenEvent> Events;
  std::atomic<bool> Hold{false};  // a consumer that cannot keep up: callbacks wait while this is set
  size_t Count() {
    std::lock_guard l(Mutex);
    return Events.size();
  }
  void Clear() {
    std::lock_guard l(Mutex);
    Events.clear();
  }
};
inline tSeen gSeen;

inline void CollectEvent(EVENT_TRACE* E) {
  for (int i = 0; i < 20000 && gSeen.Hold.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  tSeenEvent s;
  s.Guid = E->Header.Guid;
  s.ProcessId = E->Header.ProcessId;
  s.ThreadId = E->Header.ThreadId;
  s.TimeStamp = E->Header.TimeStamp;
  const auto* p = static_cast<const uint8_t*>(E->MofData);
  s.Payload.assign(p, p + E->MofLength);
  std::lock_guard l(gSeen.Mutex);
  gSeen.Events.push_back(std::move(s));
}

// A real-time consumer of one session on its own thread.
class tConsumer {
 public:
  explicit tConsumer(const std::string& Session) : name_(Session) {
    logfile_ = EVENT_TRACE_LOGFILEA{};
    logfile_.LoggerName = name_.data();
    logfile_.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
    logfile_.EventCallback = CollectEvent;
    handle_ = SystemTraceApi().OpenTraceA(&logfile_);
    if (handle_ != INVALID_PROCESSTRACE_HANDLE) {
      thread_ = std::thread([this] {
        Result = SystemTraceApi().ProcessTrace(&handle_, 1, nullptr, nullptr);
        Done = true;
      });
    }
  }
  ~tConsumer() {
    if (handle_ != INVALID_PROCESSTRACE_HANDLE) SystemTraceApi().CloseTrace(handle_);
    if (thread_.joinable()) thread_.join();
  }
  bool Opened() const { return handle_ != INVALID_PROCESSTRACE_HANDLE; }
  std::atomic<bool> Done{false};
  std::atomic<ULONG> Result{0xFFFFFFFF};

 private:
  std::string name_;
  EVENT_TRACE_LOGFILEA logfile_;
  TRACEHANDLE handle_ = INVALID_PROCESSTRACE_HANDLE;
  std::thread thread_;
};

}  // namespace lw::etw::test
