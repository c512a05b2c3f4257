// The trace API on POSIX: controller and consumer calls talk to the session hosts (logwarden-traced)
// over their Unix sockets; file descriptors and file handles go to the log-file consumer; the provider
// side keeps one connection per session it finds and a thread that hears enable and disable notices.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/etw/Etw.h"
#include "platform/etw/FileConsumer.h"
#include "platform/etw/etl/Clock.h"
#include "platform/etw/posix/Socket.h"
#include "platform/etw/posix/Wire.h"
#include "platform/os/Os.h"

extern char** environ;

namespace lw::etw {
namespace {

using namespace lw::etw::posix;

constexpr int kControlTimeoutMs = 15000;
constexpr int kStartTimeoutMs = 15000;
constexpr size_t kPendingMax = 1 << 20;  // provider bytes waiting for the socket before events are lost
constexpr size_t kBatchBytes = 64 * 1024;  // a batch this large goes at once

std::string HostExecutable() {
  if (const char* env = std::getenv("LOGWARDEN_TRACED"); env != nullptr && *env != '\0') return env;
  std::string beside = os::ProgramFolder() + "logwarden-traced";
  if (::access(beside.c_str(), X_OK) == 0) return beside;
#ifdef LW_TRACED_PATH
  return LW_TRACED_PATH;
#else
  return beside;
#endif
}

// Creates the sessions' folder; the shared default one is open to all, as /tmp is.
void EnsureSessionDir(const std::string& Dir) {
  struct stat st {};
  if (::stat(Dir.c_str(), &st) == 0) return;
  std::string partial;
  for (size_t i = 1; i <= Dir.size(); ++i) {
    if (i == Dir.size() || Dir[i] == '/') {
      partial = Dir.substr(0, i);
      ::mkdir(partial.c_str(), 0777);
    }
  }
  if (std::getenv("LOGWARDEN_ETW_DIR") == nullptr) ::chmod(Dir.c_str(), 01777);
}

std::string AbsolutePath(const std::string& Path) {
  if (Path.empty() || Path[0] == '/') return Path;
  char cwd[4096];
  if (::getcwd(cwd, sizeof cwd) == nullptr) return Path;
  return std::string(cwd) + "/" + Path;
}

// The socket of a session given by name (preferred) or by handle; 87 when neither names one.
uint32_t ResolveSession(TRACEHANDLE Handle, const char* Name, std::string& Path) {
  std::string dir = SessionDir();
  if (Name != nullptr && *Name != '\0') {
    if (!ValidSessionName(Name)) return ERROR_INVALID_PARAMETER;
    Path = SocketPath(dir, Name);
    return ERROR_SUCCESS;
  }
  if (IsSessionHandle(Handle)) {
    Path = HandleLinkPath(dir, Handle);
    return ERROR_SUCCESS;
  }
  return ERROR_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------------------------------
// Real-time consumers.

struct tRealtime {
  int Fd = -1;
  EVENT_TRACE_LOGFILEA Logfile{};  // copied at open, as the platform does
  EVENT_TRACE_LOGFILEA* Caller = nullptr;  // receives CurrentTime and BuffersRead
  etl::tClock Clock;
  bool Processing = false;
  bool Closed = false;
};

class tRealtimeTable {
 public:
  TRACEHANDLE Open(EVENT_TRACE_LOGFILEA* Logfile) {
    std::string path;
    uint32_t status = ResolveSession(0, Logfile->LoggerName, path);
    if (status != ERROR_SUCCESS) {
      os::SetLastError(status);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    int fd = ConnectSession(path, status);
    if (fd < 0) {
      os::SetLastError(status);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    wire::tFrameWriter w(wire::tMsg::Consume);
    std::vector<uint8_t> frame;
    wire::tHostMessage reply;
    if (!SendAll(fd, w.Finish()) || !ReadFrame(fd, frame, kControlTimeoutMs) ||
        wire::DecodeHostMessage(frame, reply) != wire::tDecode::Ok || reply.Type != wire::tMsg::ConsumeReply) {
      ::close(fd);
      os::SetLastError(ERROR_WMI_INSTANCE_NOT_FOUND);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    if (reply.Consume.Status != ERROR_SUCCESS) {
      ::close(fd);
      os::SetLastError(reply.Consume.Status);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    auto t = std::make_unique<tRealtime>();
    t->Fd = fd;
    t->Clock = etl::tClock::Qpc10MHz(tFileTime{reply.Consume.StartTime}, reply.Consume.StartRaw);
    TRACE_LOGFILE_HEADER& h = Logfile->LogfileHeader;
    h = TRACE_LOGFILE_HEADER{};
    h.BufferSize = reply.Consume.BufferSize;
    h.LogFileMode = reply.Consume.LogFileMode;
    h.MaximumFileSize = reply.Consume.MaximumFileSize;
    h.BuffersWritten = reply.Consume.BuffersWritten;
    h.EventsLost = reply.Consume.EventsLost;
    h.PointerSize = 8;
    h.NumberOfProcessors = 1;
    h.PerfFreq = 10000000;
    h.StartTime = static_cast<int64_t>(reply.Consume.StartTime);
    h.ReservedFlags = 1;
    Logfile->BufferSize = reply.Consume.BufferSize;
    t->Logfile = *Logfile;
    t->Caller = Logfile;
    std::lock_guard lock(mutex_);
    uint64_t id = next_++;
    traces_[id] = std::move(t);
    return kRealtimeHandleTag | id;
  }

  bool Owns(TRACEHANDLE H) const { return (H >> 56) == (kRealtimeHandleTag >> 56); }

  ULONG Process(TRACEHANDLE H) {
    tRealtime* t = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto it = traces_.find(H & ~kRealtimeHandleTag);
      if (it == traces_.end() || it->second->Closed || it->second->Processing) return ERROR_INVALID_HANDLE;
      t = it->second.get();
      t->Processing = true;
    }
    ULONG status = Pump(*t);
    std::lock_guard lock(mutex_);
    t->Processing = false;
    if (t->Closed) {
      ::close(t->Fd);
      traces_.erase(H & ~kRealtimeHandleTag);
    }
    return status;
  }

  ULONG Close(TRACEHANDLE H) {
    std::lock_guard lock(mutex_);
    auto it = traces_.find(H & ~kRealtimeHandleTag);
    if (it == traces_.end() || it->second->Closed) return ERROR_INVALID_HANDLE;
    if (it->second->Processing) {
      // The running ProcessTrace sees the end of its stream, returns 1223 and releases the handle.
      it->second->Closed = true;
      ::shutdown(it->second->Fd, SHUT_RDWR);
      return ERROR_SUCCESS;
    }
    ::close(it->second->Fd);
    traces_.erase(it);
    return ERROR_SUCCESS;
  }

 private:
  ULONG Pump(tRealtime& T) {
    std::vector<uint8_t> frame;
    for (;;) {
      if (!ReadFrame(T.Fd, frame, -1)) {
        std::lock_guard lock(mutex_);
        return T.Closed ? ERROR_CANCELLED : ERROR_WMI_INSTANCE_NOT_FOUND;
      }
      wire::tHostMessage m;
      if (wire::DecodeHostMessage(frame, m) != wire::tDecode::Ok) return ERROR_INVALID_DATA;
      if (m.Type == wire::tMsg::End) return m.Status;
      if (m.Type != wire::tMsg::Buffer) continue;
      auto status = wire::WalkBuffer(m.Buffer, [&](const EVENT_TRACE_HEADER& Header,
                                                   std::span<const uint8_t> Payload) {
        EVENT_TRACE ev{};
        ev.Header = Header;
        ev.Header.TimeStamp = static_cast<int64_t>(T.Clock.ToFileTime(static_cast<uint64_t>(Header.TimeStamp)).Value);
        ev.MofData = const_cast<uint8_t*>(Payload.data());
        ev.MofLength = static_cast<ULONG>(Payload.size());
        T.Logfile.CurrentTime = ev.Header.TimeStamp;
        T.Logfile.CurrentEvent = ev;
        if (T.Logfile.EventCallback != nullptr) T.Logfile.EventCallback(&ev);
      });
      if (status != wire::tDecode::Ok) continue;  // a damaged buffer is passed over, as in files
      ++T.Logfile.BuffersRead;
      T.Logfile.Filled = static_cast<ULONG>(m.Buffer.size());
      if (T.Logfile.BufferCallback != nullptr && T.Logfile.BufferCallback(&T.Logfile) == 0) return ERROR_CANCELLED;
    }
  }

  std::mutex mutex_;
  std::map<uint64_t, std::unique_ptr<tRealtime>> traces_;
  uint64_t next_ = 1;
};

// ---------------------------------------------------------------------------------------------------
// Providers.

struct tConnection {
  std::string Path;
  int Fd = -1;
  uint64_t Handle = 0;
  std::vector<uint8_t> In;
  std::mutex SendMutex;  // Pending and Lost; the socket's sends
  std::vector<uint8_t> Pending;
  uint32_t Lost = 0;
  std::atomic<bool> Enabled{false};
  std::atomic<uint32_t> Level{0};
  std::atomic<uint32_t> Flags{0};
  std::vector<tGuid> EnabledGuids;  // thread-owned
};

struct tRegistration {
  tGuid Guid;
  WMIDPREQUEST Callback = nullptr;
  void* Context = nullptr;
};

class tProviders {
 public:
  ~tProviders() { StopThread(); }

  ULONG Register(WMIDPREQUEST Callback, void* Context, const GUID* Guid, TRACEHANDLE* Handle) {
    std::lock_guard lock(mutex_);
    uint64_t id = nextId_++;
    regs_[id] = tRegistration{*Guid, Callback, Context};
    for (auto& c : conns_) SendRegister(*c, *Guid);
    if (!thread_.joinable()) {
      if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        regs_.erase(id);
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      stop_ = false;
      thread_ = std::thread([this] { Loop(); });
    }
    rescan_ = true;
    Wake();
    *Handle = kRegistrationTag | id;
    return ERROR_SUCCESS;
  }

  ULONG Unregister(TRACEHANDLE Handle) {
    bool last = false;
    {
      std::lock_guard lock(mutex_);
      if (regs_.erase(Handle & ~kRegistrationTag) == 0) return ERROR_INVALID_PARAMETER;
      last = regs_.empty();
    }
    // No callback of this registration runs once we return (unless we are inside one).
    if (std::this_thread::get_id() != callbackThread_.load()) {
      std::lock_guard wait(callbackMutex_);
    }
    if (last && std::this_thread::get_id() != thread_.get_id()) StopThread();
    return ERROR_SUCCESS;
  }

  ULONG Trace(TRACEHANDLE Session, EVENT_TRACE_HEADER* Event) {
    if (Event == nullptr || Event->Size < sizeof(EVENT_TRACE_HEADER)) return ERROR_INVALID_PARAMETER;
    std::shared_ptr<tConnection> c = Find(Session);
    if (!c) return ERROR_INVALID_HANDLE;
    thread_local std::vector<uint8_t> frame;
    size_t size = Event->Size;
    frame.resize(5 + size);
    uint32_t n = static_cast<uint32_t>(1 + size);
    std::memcpy(frame.data(), &n, 4);
    frame[4] = static_cast<uint8_t>(wire::tMsg::Event);
    EVENT_TRACE_HEADER h = *Event;
    thread_local const uint32_t tid = os::GetCurrentThreadId();
    static const uint32_t pid = os::GetCurrentProcessId();
    h.ThreadId = tid;
    h.ProcessId = pid;
    h.TimeStamp = static_cast<int64_t>(RawClockNow());
    std::memcpy(frame.data() + 5, &h, sizeof h);
    std::memcpy(frame.data() + 5 + sizeof h, reinterpret_cast<const uint8_t*>(Event) + sizeof h,
                size - sizeof h);
    return Send(*c, frame);
  }

  // Hands every batch this process has gathered to its session now, so that a control request sent
  // after it (flush, stop, update) finds the events in the session's socket ahead of it.
  void SendPendingNow() {
    std::vector<std::shared_ptr<tConnection>> conns;
    {
      std::lock_guard lock(mutex_);
      conns = conns_;
    }
    for (auto& c : conns) {
      std::lock_guard send(c->SendMutex);
      if (c->Fd >= 0 && !c->Pending.empty() && SendAll(c->Fd, c->Pending)) c->Pending.clear();
    }
  }

  uint8_t EnableLevel(TRACEHANDLE Session) {
    auto c = Find(Session);
    if (!c) {
      os::SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    return static_cast<uint8_t>(c->Level.load());
  }

  ULONG EnableFlags(TRACEHANDLE Session) {
    auto c = Find(Session);
    if (!c) {
      os::SetLastError(ERROR_INVALID_HANDLE);
      return 0;
    }
    return c->Flags.load();
  }

 private:
  std::shared_ptr<tConnection> Find(TRACEHANDLE Session) {
    std::lock_guard lock(mutex_);
    auto it = byHandle_.find(Session);
    return it == byHandle_.end() ? nullptr : it->second;
  }

  void Wake() {
    char b = 1;
    ssize_t ignored = ::write(wake_[1], &b, 1);
    (void)ignored;
  }

  // Caller holds mutex_.
  void SendRegister(tConnection& C, const tGuid& Guid) {
    wire::tFrameWriter w(wire::tMsg::Register);
    w.Guid(Guid);
    auto f = w.Finish();
    std::lock_guard lock(C.SendMutex);
    C.Pending.insert(C.Pending.end(), f.begin(), f.end());
    DrainLocked(C);
  }

  // Caller holds C.SendMutex. Sends what the socket takes now.
  static bool DrainLocked(tConnection& C) {
    size_t done = 0;
    while (done < C.Pending.size()) {
      ssize_t n = ::send(C.Fd, C.Pending.data() + done, C.Pending.size() - done, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      done += static_cast<size_t>(n);
    }
    C.Pending.erase(C.Pending.begin(), C.Pending.begin() + static_cast<std::ptrdiff_t>(done));
    return C.Pending.empty();
  }

  // Events are batched: the provider's thread sends what gathered about once a millisecond, or at once
  // when a batch grows large, so that a fast writer costs one send per batch rather than per event.
  ULONG Send(tConnection& C, const std::vector<uint8_t>& Frame) {
    std::unique_lock lock(C.SendMutex);
    if (C.Fd < 0) return ERROR_INVALID_HANDLE;
    if (C.Pending.size() + Frame.size() + 16 > kPendingMax) {
      DrainLocked(C);
      if (C.Pending.size() + Frame.size() + 16 > kPendingMax) {
        ++C.Lost;  // the session does not take events as fast as they come: this one is lost
        return ERROR_NOT_ENOUGH_MEMORY;
      }
    }
    bool wasEmpty = C.Pending.empty();
    if (C.Lost != 0) {
      wire::tFrameWriter w(wire::tMsg::Lost);
      w.U32(C.Lost);
      auto f = w.Finish();
      C.Pending.insert(C.Pending.end(), f.begin(), f.end());
      C.Lost = 0;
    }
    C.Pending.insert(C.Pending.end(), Frame.begin(), Frame.end());
    if (C.Pending.size() >= kBatchBytes) DrainLocked(C);
    lock.unlock();
    if (wasEmpty) Wake();
    return ERROR_SUCCESS;
  }

  void Notify(const std::vector<tRegistration>& Regs, const tGuid& Guid, bool Enable, uint64_t Handle) {
    std::lock_guard running(callbackMutex_);
    callbackThread_ = std::this_thread::get_id();
    for (const auto& r : Regs) {
      if (!(r.Guid == Guid) || r.Callback == nullptr) continue;
      WNODE_HEADER w{};
      w.BufferSize = sizeof w;
      w.HistoricalContext = Handle;
      w.Guid = Guid;
      ULONG size = sizeof w;
      r.Callback(Enable ? WMI_ENABLE_EVENTS : WMI_DISABLE_EVENTS, r.Context, &size, &w);
    }
    callbackThread_ = std::thread::id();
  }

  std::vector<tRegistration> Registrations() {
    std::lock_guard lock(mutex_);
    std::vector<tRegistration> out;
    for (auto& [id, r] : regs_) out.push_back(r);
    return out;
  }

  void Scan() {
    std::string dir = SessionDir();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return;
    std::vector<std::string> paths;
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 5 && name.compare(name.size() - 5, 5, ".sock") == 0) paths.push_back(dir + "/" + name);
    }
    ::closedir(d);
    std::lock_guard lock(mutex_);
    for (const auto& p : paths) {
      bool known = std::any_of(conns_.begin(), conns_.end(), [&](const auto& c) { return c->Path == p; });
      if (known) continue;
      uint32_t status = 0;
      int fd = ConnectSession(p, status);
      if (fd < 0) continue;
      timeval tv{2, 0};
      ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      int sndbuf = 1 << 20;
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
      auto c = std::make_shared<tConnection>();
      c->Path = p;
      c->Fd = fd;
      conns_.push_back(c);
      for (auto& [id, r] : regs_) SendRegister(*c, r.Guid);
    }
  }

  // Reads what a connection has; false when it has ended.
  bool ReadConnection(tConnection& C) {
    uint8_t chunk[4096];
    ssize_t n = ::recv(C.Fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n == 0) return false;
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    C.In.insert(C.In.end(), chunk, chunk + n);
    size_t pos = 0;
    for (;;) {
      std::span<const uint8_t> frame;
      size_t used = 0;
      auto status = wire::SplitFrame(std::span<const uint8_t>(C.In).subspan(pos), frame, used);
      if (status == wire::tDecode::Truncated) break;
      if (status != wire::tDecode::Ok) return false;
      pos += used;
      wire::tHostMessage m;
      if (wire::DecodeHostMessage(frame, m) != wire::tDecode::Ok) return false;
      if (m.Type == wire::tMsg::Registered) {
        std::lock_guard lock(mutex_);
        C.Handle = m.Handle;
        for (auto& c : conns_) {
          if (c.get() == &C) byHandle_[m.Handle] = c;
        }
      } else if (m.Type == wire::tMsg::Notify) {
        bool on = m.Notify.Enabled != 0;
        if (on) {
          C.Level = m.Notify.Level;
          C.Flags = m.Notify.Flags;
          C.Enabled = true;
          if (std::find(C.EnabledGuids.begin(), C.EnabledGuids.end(), m.Notify.Guid) == C.EnabledGuids.end())
            C.EnabledGuids.push_back(m.Notify.Guid);
        } else {
          C.EnabledGuids.erase(std::remove(C.EnabledGuids.begin(), C.EnabledGuids.end(), m.Notify.Guid),
                               C.EnabledGuids.end());
          C.Enabled = !C.EnabledGuids.empty();
        }
        Notify(Registrations(), m.Notify.Guid, on, m.Notify.Handle);
      }
    }
    C.In.erase(C.In.begin(), C.In.begin() + static_cast<std::ptrdiff_t>(pos));
    return true;
  }

  void Drop(const std::shared_ptr<tConnection>& C) {
    auto regs = Registrations();
    for (const auto& g : C->EnabledGuids) Notify(regs, g, false, C->Handle);
    std::lock_guard lock(mutex_);
    byHandle_.erase(C->Handle);
    conns_.erase(std::remove(conns_.begin(), conns_.end(), C), conns_.end());
    std::lock_guard send(C->SendMutex);
    ::close(C->Fd);
    C->Fd = -1;
  }

  void Loop() {
    uint64_t nextScan = 0;
    while (!stop_) {
      uint64_t now = os::GetTickCount();
      if (rescan_.exchange(false) || now >= nextScan) {
        Scan();
        nextScan = now + 200;
      }
      std::vector<std::shared_ptr<tConnection>> conns;
      {
        std::lock_guard lock(mutex_);
        conns = conns_;
      }
      std::vector<pollfd> fds;
      fds.push_back({wake_[0], POLLIN, 0});
      bool anyPending = false;
      for (auto& c : conns) {
        std::lock_guard send(c->SendMutex);
        anyPending = anyPending || !c->Pending.empty();
        fds.push_back({c->Fd, POLLIN, 0});
      }
      // With events waiting, gather for a millisecond and send them; otherwise listen for notices.
      ::poll(fds.data(), fds.size(), anyPending ? 1 : 200);
      if (fds[0].revents != 0) {
        char buf[64];
        while (::read(wake_[0], buf, sizeof buf) > 0) {
        }
      }
      for (size_t i = 0; i < conns.size(); ++i) {
        {
          std::lock_guard send(conns[i]->SendMutex);
          if (!conns[i]->Pending.empty() && conns[i]->Fd >= 0) DrainLocked(*conns[i]);
        }
        short re = fds[i + 1].revents;
        if ((re & (POLLIN | POLLHUP | POLLERR)) != 0 && !ReadConnection(*conns[i])) Drop(conns[i]);
      }
    }
  }

  void StopThread() {
    if (!thread_.joinable()) return;
    stop_ = true;
    Wake();
    thread_.join();
    std::lock_guard lock(mutex_);
    // What the socket has not taken yet still goes, within the send time limit.
    for (auto& c : conns_) {
      std::lock_guard send(c->SendMutex);
      if (!c->Pending.empty()) SendAll(c->Fd, c->Pending);
      c->Pending.clear();
      ::close(c->Fd);
      c->Fd = -1;
    }
    conns_.clear();
    byHandle_.clear();
    ::close(wake_[0]);
    ::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
  }

  std::mutex mutex_;  // regs_, conns_, byHandle_
  std::map<uint64_t, tRegistration> regs_;
  std::vector<std::shared_ptr<tConnection>> conns_;
  std::map<uint64_t, std::shared_ptr<tConnection>> byHandle_;
  uint64_t nextId_ = 1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> rescan_{false};
  int wake_[2] = {-1, -1};
  std::mutex callbackMutex_;
  std::atomic<std::thread::id> callbackThread_{};
};

// ---------------------------------------------------------------------------------------------------

class tPosixTraceApi final : public tTraceApi {
 public:
  ULONG StartTraceA(TRACEHANDLE* SessionHandle, const char* SessionName,
                    EVENT_TRACE_PROPERTIES* Properties) override {
    if (SessionHandle == nullptr || SessionName == nullptr || Properties == nullptr) return ERROR_INVALID_PARAMETER;
    if (!ValidSessionName(SessionName)) return ERROR_INVALID_PARAMETER;
    wire::tSession session;
    uint32_t status = wire::FromProperties(Properties, session);
    if (status != ERROR_SUCCESS) return status;
    session.LoggerName = SessionName;
    session.LogFileName = AbsolutePath(session.LogFileName);
    std::string dir = SessionDir();
    EnsureSessionDir(dir);
    std::string path = SocketPath(dir, SessionName);
    int fd = ConnectSession(path, status);
    if (fd >= 0) {
      ::close(fd);
      return ERROR_ALREADY_EXISTS;
    }
    if (status != ERROR_WMI_INSTANCE_NOT_FOUND) return status;

    wire::tHostMessage reply;
    std::vector<uint8_t> storage;
    status = Spawn(dir, SessionName, session, reply, storage);
    if (status != ERROR_SUCCESS) return status;
    if (reply.Status != ERROR_SUCCESS) return reply.Status;
    *SessionHandle = reply.Session.Handle;
    wire::ToProperties(reply.Session, Properties);
    return ERROR_SUCCESS;
  }

  ULONG ControlTraceA(TRACEHANDLE SessionHandle, const char* SessionName, EVENT_TRACE_PROPERTIES* Properties,
                      ULONG ControlCode) override {
    if (ControlCode > EVENT_TRACE_CONTROL_FLUSH) return ERROR_INVALID_PARAMETER;
    if (Properties == nullptr) return ERROR_INVALID_PARAMETER;
    std::string path;
    uint32_t status = ResolveSession(SessionHandle, SessionName, path);
    if (status != ERROR_SUCCESS) return status;
    wire::tSession session;
    if (ControlCode == EVENT_TRACE_CONTROL_UPDATE) {
      status = wire::FromProperties(Properties, session);
      if (status != ERROR_SUCCESS) return status;
      session.LogFileName = AbsolutePath(session.LogFileName);
    } else if (Properties->Wnode.BufferSize < sizeof(EVENT_TRACE_PROPERTIES)) {
      return ERROR_BAD_LENGTH;
    }
    if (ControlCode != EVENT_TRACE_CONTROL_QUERY) providers_.SendPendingNow();
    wire::tFrameWriter w(wire::tMsg::Control);
    w.U32(ControlCode);
    w.Session(session);
    wire::tHostMessage reply;
    std::vector<uint8_t> storage;
    status = Exchange(path, w.Finish(), reply, storage, kControlTimeoutMs);
    if (status != ERROR_SUCCESS) return status;
    if (reply.Type != wire::tMsg::Reply) return ERROR_INVALID_DATA;
    if (reply.HasSession) {
      uint32_t fill = wire::ToProperties(reply.Session, Properties);
      if (reply.Status == ERROR_SUCCESS && fill != ERROR_SUCCESS) return fill;
    }
    return reply.Status;
  }

  ULONG QueryTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                    EVENT_TRACE_PROPERTIES* Properties) override {
    return ControlTraceA(SessionHandle, SessionName, Properties, EVENT_TRACE_CONTROL_QUERY);
  }

  ULONG UpdateTraceA(TRACEHANDLE SessionHandle, const char* SessionName,
                     EVENT_TRACE_PROPERTIES* Properties) override {
    return ControlTraceA(SessionHandle, SessionName, Properties, EVENT_TRACE_CONTROL_UPDATE);
  }

  TRACEHANDLE GetTraceLoggerHandle(void* Buffer) override {
    if (Buffer == nullptr) {
      os::SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    WNODE_HEADER w;
    std::memcpy(&w, Buffer, sizeof w);
    if (!IsSessionHandle(w.HistoricalContext)) {
      os::SetLastError(ERROR_INVALID_HANDLE);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    return w.HistoricalContext;
  }

  ULONG EnableTrace(ULONG Enable, ULONG EnableFlag, ULONG EnableLevel, const GUID* ControlGuid,
                    TRACEHANDLE SessionHandle) override {
    if (ControlGuid == nullptr) return ERROR_INVALID_PARAMETER;
    if (!IsSessionHandle(SessionHandle)) return ERROR_INVALID_HANDLE;
    std::string path = HandleLinkPath(SessionDir(), SessionHandle);
    wire::tFrameWriter w(wire::tMsg::Enable);
    w.U32(Enable);
    w.U32(EnableFlag);
    w.U8(static_cast<uint8_t>(EnableLevel));
    w.Guid(*ControlGuid);
    wire::tHostMessage reply;
    std::vector<uint8_t> storage;
    uint32_t status = Exchange(path, w.Finish(), reply, storage, kControlTimeoutMs);
    if (status == ERROR_WMI_INSTANCE_NOT_FOUND) return ERROR_INVALID_HANDLE;
    if (status != ERROR_SUCCESS) return status;
    return reply.Type == wire::tMsg::Reply ? reply.Status : ERROR_INVALID_DATA;
  }

  TRACEHANDLE OpenTraceA(EVENT_TRACE_LOGFILEA* Logfile) override {
    if (Logfile == nullptr) {
      os::SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_PROCESSTRACE_HANDLE;
    }
    if (Logfile->LogFileName != nullptr && (Logfile->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) == 0)
      return OpenFileTrace(Logfile);
    if (Logfile->LoggerName != nullptr && (Logfile->LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0)
      return realtime_.Open(Logfile);
    os::SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_PROCESSTRACE_HANDLE;
  }

  ULONG ProcessTrace(TRACEHANDLE* HandleArray, ULONG HandleCount, const tFileTime* StartTime,
                     const tFileTime* EndTime) override {
    if (HandleArray == nullptr || HandleCount == 0) return ERROR_INVALID_PARAMETER;
    if (HandleCount == 1 && realtime_.Owns(HandleArray[0])) return realtime_.Process(HandleArray[0]);
    for (ULONG i = 0; i < HandleCount; ++i) {
      if (!IsFileTraceHandle(HandleArray[i])) {
        // One real-time session at a time, and not mixed with files.
        return realtime_.Owns(HandleArray[i]) ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE;
      }
    }
    return ProcessFileTraces(HandleArray, HandleCount, StartTime, EndTime);
  }

  ULONG CloseTrace(TRACEHANDLE TraceHandle) override {
    if (IsFileTraceHandle(TraceHandle)) return CloseFileTrace(TraceHandle);
    if (realtime_.Owns(TraceHandle)) return realtime_.Close(TraceHandle);
    return ERROR_INVALID_HANDLE;
  }

  ULONG RegisterTraceGuidsA(WMIDPREQUEST RequestAddress, void* RequestContext, const GUID* ControlGuid,
                            ULONG GuidCount, TRACE_GUID_REGISTRATION* TraceGuidReg, const char* MofImagePath,
                            const char* MofResourceName, TRACEHANDLE* RegistrationHandle) override {
    (void)MofImagePath;
    (void)MofResourceName;
    if (RequestAddress == nullptr || ControlGuid == nullptr || RegistrationHandle == nullptr)
      return ERROR_INVALID_PARAMETER;
    if (GuidCount != 0 && TraceGuidReg == nullptr) return ERROR_INVALID_PARAMETER;
    ULONG status = providers_.Register(RequestAddress, RequestContext, ControlGuid, RegistrationHandle);
    if (status == ERROR_SUCCESS) {
      for (ULONG i = 0; i < GuidCount; ++i) TraceGuidReg[i].RegHandle = reinterpret_cast<void*>(*RegistrationHandle);
    }
    return status;
  }

  ULONG UnregisterTraceGuids(TRACEHANDLE RegistrationHandle) override {
    return providers_.Unregister(RegistrationHandle);
  }

  ULONG TraceEvent(TRACEHANDLE SessionHandle, EVENT_TRACE_HEADER* EventTrace) override {
    return providers_.Trace(SessionHandle, EventTrace);
  }

  uint8_t GetTraceEnableLevel(TRACEHANDLE SessionHandle) override { return providers_.EnableLevel(SessionHandle); }
  ULONG GetTraceEnableFlags(TRACEHANDLE SessionHandle) override { return providers_.EnableFlags(SessionHandle); }

 private:
  static uint32_t Spawn(const std::string& Dir, const std::string& Name, const wire::tSession& Session,
                        wire::tHostMessage& Reply, std::vector<uint8_t>& Storage) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return ERROR_NOT_ENOUGH_MEMORY;
    std::string exe = HostExecutable();
    std::string hex = wire::EncodeSessionHex(Session);
    std::vector<std::string> args = {exe, "--dir", Dir, "--name", Name, "--session", hex, "--report-fd", "3"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], 3);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(p[1]);
    if (rc != 0) {
      ::close(p[0]);
      return rc == ENOENT ? ERROR_FILE_NOT_FOUND : StatusFromErrno(rc);
    }
    // The first process only forks the host and ends.
    int ws = 0;
    while (::waitpid(pid, &ws, 0) < 0 && errno == EINTR) {
    }
    bool got = ReadFrame(p[0], Storage, kStartTimeoutMs);
    ::close(p[0]);
    if (!got) return ERROR_PROCESS_ABORTED;
    if (wire::DecodeHostMessage(Storage, Reply) != wire::tDecode::Ok || Reply.Type != wire::tMsg::Reply)
      return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
  }

  tRealtimeTable realtime_;
  tProviders providers_;
};

}  // namespace

tTraceApi& SystemTraceApi() {
  static tPosixTraceApi api;
  return api;
}

}  // namespace lw::etw
