#include "platform/etw/posix/SessionHost.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/etw/posix/Socket.h"
#include "platform/os/Os.h"

namespace lw::etw::posix {
namespace {

int gSignalPipe[2] = {-1, -1};


constexpr size_t kMaxClients = 1024;
constexpr size_t kReadChunk = 256 * 1024;
constexpr uint64_t kRawPerMs = 10000;

}  // namespace

tSessionHost::tSessionHost() : inflight_(std::make_shared<int>(0)) {}

tSessionHost::~tSessionHost() {
  for (auto& c : clients_) ::close(c->Fd);
  if (listenFd_ >= 0) ::close(listenFd_);
  if (!socketPath_.empty()) ::unlink(socketPath_.c_str());
  if (!linkPath_.empty()) ::unlink(linkPath_.c_str());
  if (lockFd_ >= 0) ::close(lockFd_);
}

void tSessionHost::RequestStopFromSignal() {
  if (gSignalPipe[1] >= 0) {
    char c = 1;
    ssize_t ignored = ::write(gSignalPipe[1], &c, 1);
    (void)ignored;
  }
}

uint32_t tSessionHost::openLog(const std::string& Path, std::unique_ptr<etl::tEtlWriter>& Out) {
  etl::tWriterOptions o;
  o.LoggerName = options_.Name;
  o.BufferSize = session_.BufferSize * 1024;
  o.MaximumFileSize = session_.MaximumFileSize;
  o.LogFileMode = session_.LogFileMode & ~EVENT_TRACE_REAL_TIME_MODE;
  o.StartTime = startTime_;
  o.StartRaw = startRaw_;
  o.ProcessId = os::GetCurrentProcessId();
  o.ThreadId = os::GetCurrentThreadId();
  auto w = std::make_unique<etl::tEtlWriter>();
  uint32_t status = w->Open(Path, o);
  if (status == ERROR_SUCCESS) Out = std::move(w);
  return status;
}

uint32_t tSessionHost::Start(const tOptions& Options) {
  options_ = Options;
  session_ = Options.Session;
  if (!ValidSessionName(options_.Name)) return ERROR_INVALID_PARAMETER;
  // The figures a session runs with, as the platform fills in what the starter left at 0.
  if (session_.BufferSize == 0) session_.BufferSize = 64;
  session_.BufferSize = std::clamp<uint32_t>(session_.BufferSize, 1, 1024);
  if (session_.MinimumBuffers == 0) session_.MinimumBuffers = 2;
  session_.MaximumBuffers = std::max({session_.MaximumBuffers, session_.MinimumBuffers, uint32_t{2}});
  session_.LoggerName = options_.Name;
  handle_ = kSessionHandleTag | os::GetCurrentProcessId();
  session_.Handle = handle_;
  session_.LoggerThreadId = os::GetCurrentProcessId();
  startRaw_ = RawClockNow();
  startTime_ = os::CurrentUtcFileTime();

  ::mkdir(options_.Dir.c_str(), 0777);
  lockFd_ = ::open(LockPath(options_.Dir, options_.Name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lockFd_ < 0) return StatusFromErrno(errno);
  // A host of the same name that is still finishing (it has unlinked its socket already) holds the
  // lock for a moment longer; a live one holds it for good.
  bool locked = false;
  for (int i = 0; i < 1000 && !locked; ++i) {
    locked = ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
    if (!locked) ::usleep(5000);
  }
  if (!locked) return ERROR_ALREADY_EXISTS;

  if (!session_.LogFileName.empty()) {
    uint32_t status = openLog(session_.LogFileName, writer_);
    if (status != ERROR_SUCCESS) return status;
  } else {
    session_.LogFileMode &= ~(EVENT_TRACE_FILE_MODE_CIRCULAR | EVENT_TRACE_FILE_MODE_SEQUENTIAL);
  }
  current_ = std::make_unique<etl::tBufferBuilder>(session_.BufferSize * 1024);

  socketPath_ = SocketPath(options_.Dir, options_.Name);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (socketPath_.size() >= sizeof(addr.sun_path)) {
    socketPath_.clear();
    return ERROR_BAD_PATHNAME;
  }
  std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
  ::unlink(socketPath_.c_str());  // left by a host that did not end cleanly: we hold the lock
  listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listenFd_ < 0) return StatusFromErrno(errno);
  if (::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    uint32_t status = StatusFromErrno(errno);
    socketPath_.clear();
    return status;
  }
  ::chmod(socketPath_.c_str(), 0660);
  if (::listen(listenFd_, 128) != 0) return StatusFromErrno(errno);
  linkPath_ = HandleLinkPath(options_.Dir, handle_);
  ::unlink(linkPath_.c_str());
  if (::symlink((options_.Name + ".sock").c_str(), linkPath_.c_str()) != 0) linkPath_.clear();

  if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return StatusFromErrno(errno);
  nextFlushRaw_ = startRaw_ + 1000 * kRawPerMs * std::max<uint32_t>(session_.FlushTimer, 1);
  return ERROR_SUCCESS;
}

wire::tSession tSessionHost::Snapshot() const {
  wire::tSession s = session_;
  s.EventsLost = eventsLost_;
  s.BuffersWritten = writer_ ? static_cast<uint32_t>(writer_->BuffersWritten()) : buffersWritten_;
  s.LogBuffersLost = writer_ ? writer_->BuffersLost() : 0;
  s.RealTimeBuffersLost = realTimeBuffersLost_;
  uint32_t inFlight = static_cast<uint32_t>(*inflight_) + 1;
  s.NumberOfBuffers = std::max(session_.MinimumBuffers, inFlight);
  s.FreeBuffers = s.NumberOfBuffers - std::min(s.NumberOfBuffers, inFlight);
  s.HasLogFileName = !s.LogFileName.empty();
  return s;
}

std::vector<uint8_t> tSessionHost::reply(uint32_t Status) {
  wire::tFrameWriter w(wire::tMsg::Reply);
  w.U32(Status);
  w.Session(Snapshot());
  return w.Finish();
}

bool tSessionHost::haveFreeBuffer() const {
  // The full buffer stays in flight until every consumer has it, and a fresh one is needed beside it.
  return static_cast<uint32_t>(*inflight_) + 2 <= session_.MaximumBuffers;
}

void tSessionHost::handOver() {
  if (current_->Empty()) return;
  uint64_t flushRaw = std::max(RawClockNow(), current_->LastTimeStamp());
  if ((session_.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0) {
    bool anyConsumer = std::any_of(clients_.begin(), clients_.end(),
                                   [](const auto& c) { return c->Role == tRole::Consumer && !c->Dead; });
    if (anyConsumer) {
      auto bytes = current_->Bytes();
      std::vector<uint8_t> bytesOut;
      bytesOut.reserve(5 + bytes.size());
      uint32_t n = static_cast<uint32_t>(1 + bytes.size());
      for (int i = 0; i < 4; ++i) bytesOut.push_back(static_cast<uint8_t>(n >> (8 * i)));
      bytesOut.push_back(static_cast<uint8_t>(wire::tMsg::Buffer));
      bytesOut.insert(bytesOut.end(), bytes.begin(), bytes.end());
      etl::tBufferBuilder::Stamp(std::span<uint8_t>(bytesOut).subspan(5), rtSequence_++, flushRaw);
      auto* frame = new std::vector<uint8_t>(std::move(bytesOut));
      ++*inflight_;
      std::shared_ptr<int> counter = inflight_;
      tFrame shared(frame, [counter](const std::vector<uint8_t>* p) {
        --*counter;
        delete p;
      });
      for (auto& c : clients_) {
        if (c->Role == tRole::Consumer && !c->Dead) queue(*c, shared);
      }
    }
  }
  if (writer_) {
    writer_->WriteBuffer(current_->Bytes(), flushRaw);
  } else {
    ++buffersWritten_;
  }
  current_->Reset();
}

void tSessionHost::flushNow() {
  handOver();
  if (writer_) writer_->Flush(RawClockNow());
}

void tSessionHost::handleEvent(std::span<const uint8_t> Event) {
  EVENT_TRACE_HEADER h;
  std::memcpy(&h, Event.data(), sizeof h);
  etl::tClassicEvent e;
  e.ClassGuid = h.Guid;
  e.Type = h.Class.Type;
  e.Level = h.Class.Level;
  e.Version = h.Class.Version;
  e.ProcessId = h.ProcessId;
  e.ThreadId = h.ThreadId;
  e.TimeStamp = static_cast<uint64_t>(h.TimeStamp);
  e.KernelTime = h.KernelTime;
  e.UserTime = h.UserTime;
  e.Payload = Event.subspan(sizeof h);
  if (e.Payload.size() > current_->MaxPayload()) {
    ++eventsLost_;
    return;
  }
  if (current_->Append(e)) return;
  // The buffer is full: it goes, and the event takes a fresh one if one is free.
  if (!haveFreeBuffer()) {
    ++eventsLost_;
    return;
  }
  handOver();
  if (!current_->Append(e)) ++eventsLost_;
}

void tSessionHost::queue(tClient& C, tFrame Frame) {
  C.Out.push_back(std::move(Frame));
  writeClient(C);
}

void tSessionHost::queue(tClient& C, std::vector<uint8_t> Frame) {
  queue(C, std::make_shared<const std::vector<uint8_t>>(std::move(Frame)));
}

void tSessionHost::writeClient(tClient& C) {
  while (!C.Dead && !C.Out.empty()) {
    const auto& f = *C.Out.front();
    ssize_t n = ::send(C.Fd, f.data() + C.OutOffset, f.size() - C.OutOffset, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) C.Dead = true;
      return;
    }
    C.OutOffset += static_cast<size_t>(n);
    if (C.OutOffset == f.size()) {
      C.Out.pop_front();
      C.OutOffset = 0;
    }
  }
  if (C.Out.empty() && C.CloseWhenSent) C.Dead = true;
}

void tSessionHost::endConsumers() {
  wire::tFrameWriter w(wire::tMsg::End);
  w.U32(ERROR_SUCCESS);
  auto end = std::make_shared<const std::vector<uint8_t>>(w.Finish());
  for (auto& c : clients_) {
    if (c->Role == tRole::Consumer && !c->Dead) {
      c->CloseWhenSent = true;
      c->Role = tRole::Controller;  // takes no more buffers
      queue(*c, end);
    }
  }
}

void tSessionHost::handleControl(tClient& C, const wire::tRequest& R) {
  C.Role = tRole::Controller;
  C.CloseWhenSent = true;
  switch (R.ControlCode) {
    case EVENT_TRACE_CONTROL_QUERY:
      queue(C, reply(ERROR_SUCCESS));
      return;
    case EVENT_TRACE_CONTROL_FLUSH:
      drainProviders(&C);
      flushNow();
      queue(C, reply(ERROR_SUCCESS));
      return;
    case EVENT_TRACE_CONTROL_STOP:
      stop(&C);
      return;
    case EVENT_TRACE_CONTROL_UPDATE: {
      drainProviders(&C);
      uint32_t status = ERROR_SUCCESS;
      if (R.Session.HasLogFileName && R.Session.LogFileName != session_.LogFileName) {
        handOver();
        std::unique_ptr<etl::tEtlWriter> next;
        status = openLog(R.Session.LogFileName, next);
        if (status == ERROR_SUCCESS) {
          if (writer_) writer_->Close();
          writer_ = std::move(next);
          session_.LogFileName = R.Session.LogFileName;
        }
      }
      if (status == ERROR_SUCCESS) {
        bool wasRealTime = (session_.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0;
        bool realTime = (R.Session.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0;
        if (wasRealTime && !realTime) {
          handOver();
          endConsumers();
        }
        session_.LogFileMode = (session_.LogFileMode & ~EVENT_TRACE_REAL_TIME_MODE) |
                               (realTime ? EVENT_TRACE_REAL_TIME_MODE : 0);
        if (R.Session.FlushTimer != 0) session_.FlushTimer = R.Session.FlushTimer;
      }
      queue(C, reply(status));
      return;
    }
    default:
      queue(C, reply(ERROR_INVALID_PARAMETER));
  }
}

void tSessionHost::handleEnable(tClient& C, const wire::tEnable& E) {
  C.Role = tRole::Controller;
  C.CloseWhenSent = true;
  std::string key = E.Guid.ToString();
  wire::tNotify n;
  n.Guid = E.Guid;
  n.Handle = handle_;
  if (E.Enable != 0) {
    enabled_[key] = E;
    n.Enabled = 1;
    n.Level = E.Level;
    n.Flags = E.Flags;
  } else {
    enabled_.erase(key);
  }
  wire::tFrameWriter w(wire::tMsg::Notify);
  w.U32(n.Enabled);
  w.U32(n.Flags);
  w.U8(n.Level);
  w.Guid(n.Guid);
  w.U64(n.Handle);
  auto frame = std::make_shared<const std::vector<uint8_t>>(w.Finish());
  for (auto& c : clients_) {
    if (c->Role == tRole::Provider && std::find(c->Guids.begin(), c->Guids.end(), E.Guid) != c->Guids.end())
      queue(*c, frame);
  }
  queue(C, reply(ERROR_SUCCESS));
}

void tSessionHost::handleRegister(tClient& C, const tGuid& Guid) {
  if (C.Role != tRole::Unknown && C.Role != tRole::Provider) {
    C.Dead = true;
    return;
  }
  C.Role = tRole::Provider;
  if (std::find(C.Guids.begin(), C.Guids.end(), Guid) == C.Guids.end()) C.Guids.push_back(Guid);
  wire::tFrameWriter w(wire::tMsg::Registered);
  w.U64(handle_);
  queue(C, w.Finish());
  auto it = enabled_.find(Guid.ToString());
  if (it != enabled_.end()) {
    wire::tFrameWriter n(wire::tMsg::Notify);
    n.U32(1);
    n.U32(it->second.Flags);
    n.U8(it->second.Level);
    n.Guid(Guid);
    n.U64(handle_);
    queue(C, n.Finish());
  }
}

void tSessionHost::handleConsume(tClient& C) {
  if (C.Role != tRole::Unknown) {
    C.Dead = true;
    return;
  }
  wire::tFrameWriter w(wire::tMsg::ConsumeReply);
  bool realTime = (session_.LogFileMode & EVENT_TRACE_REAL_TIME_MODE) != 0;
  wire::tSession s = Snapshot();
  w.U32(realTime ? ERROR_SUCCESS : ERROR_WMI_INSTANCE_NOT_FOUND);
  w.U64(startTime_.Value);
  w.U64(startRaw_);
  w.U32(session_.BufferSize * 1024);
  w.U32(session_.LogFileMode);
  w.U32(session_.MaximumFileSize);
  w.U32(s.BuffersWritten);
  w.U32(s.EventsLost);
  if (realTime) {
    C.Role = tRole::Consumer;
    // Buffers the socket holds count as taken: keep that to about one, so that MaximumBuffers bounds
    // what a slow consumer is owed.
    int sndbuf = static_cast<int>(session_.BufferSize * 1024);
    ::setsockopt(C.Fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  } else {
    C.Role = tRole::Controller;
    C.CloseWhenSent = true;
  }
  queue(C, w.Finish());
}

void tSessionHost::handleFrame(tClient& C, std::span<const uint8_t> Frame) {
  if (!Frame.empty() && Frame[0] == static_cast<uint8_t>(wire::tMsg::Event) && C.Role == tRole::Provider) {
    std::span<const uint8_t> event;
    if (wire::DecodeEventFrame(Frame, event) != wire::tDecode::Ok) {
      C.Dead = true;
      return;
    }
    handleEvent(event);
    return;
  }
  wire::tRequest r;
  if (wire::DecodeRequest(Frame, r) != wire::tDecode::Ok) {
    C.Dead = true;
    return;
  }
  // A connection keeps the role its first request gave it: providers send events and lost counts,
  // consumers nothing, controllers one request.
  switch (r.Type) {
    case wire::tMsg::Event:
      if (C.Role != tRole::Provider) {
        C.Dead = true;
        return;
      }
      handleEvent(r.Event);
      return;
    case wire::tMsg::Lost:
      if (C.Role != tRole::Provider) {
        C.Dead = true;
        return;
      }
      eventsLost_ += r.LostCount;
      return;
    case wire::tMsg::Register:
      handleRegister(C, r.Guid);
      return;
    default:
      break;
  }
  if (C.Role != tRole::Unknown) {
    C.Dead = true;
    return;
  }
  switch (r.Type) {
    case wire::tMsg::Query:
      C.Role = tRole::Controller;
      C.CloseWhenSent = true;
      queue(C, reply(ERROR_SUCCESS));
      return;
    case wire::tMsg::Control:
      handleControl(C, r);
      return;
    case wire::tMsg::Enable:
      handleEnable(C, r.Enable);
      return;
    case wire::tMsg::Consume:
      handleConsume(C);
      return;
    default:
      C.Dead = true;
  }
}

bool tSessionHost::readClient(tClient& C) {
  // C.In holds InLen bytes of input; it grows to the largest need once and is not cleared between
  // reads, so a busy provider costs no more than its bytes.
  const size_t chunk = C.Role == tRole::Provider ? kReadChunk : 16 * 1024;
  for (int round = 0; round < 8 && !C.Dead && !stopped_; ++round) {
    if (C.In.size() < C.InLen + chunk) C.In.resize(C.InLen + chunk);
    ssize_t n = ::recv(C.Fd, C.In.data() + C.InLen, chunk, MSG_DONTWAIT);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) C.Dead = true;
      return false;
    }
    C.InLen += static_cast<size_t>(n);
    size_t pos = 0;
    while (!C.Dead && !stopped_) {
      std::span<const uint8_t> frame;
      size_t used = 0;
      auto status = wire::SplitFrame(std::span<const uint8_t>(C.In.data() + pos, C.InLen - pos), frame, used);
      if (status == wire::tDecode::Truncated) break;
      if (status != wire::tDecode::Ok) {
        C.Dead = true;
        return false;
      }
      handleFrame(C, frame);
      pos += used;
    }
    if (stopped_ || C.Dead) return false;
    if (pos > 0) {
      std::memmove(C.In.data(), C.In.data() + pos, C.InLen - pos);
      C.InLen -= pos;
    }
    if (static_cast<size_t>(n) < chunk) return false;
  }
  return !C.Dead && !stopped_;
}

void tSessionHost::drainProviders(const tClient* Except) {
  // Bounded, so that a provider writing without pause cannot hold the request up for ever.
  for (size_t i = 0; i < clients_.size(); ++i) {
    tClient& c = *clients_[i];
    if (&c == Except || c.Dead || c.Role != tRole::Provider) continue;
    for (int round = 0; round < 64 && readClient(c); ++round) {
    }
  }
}

void tSessionHost::acceptClients() {
  for (;;) {
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (clients_.size() >= kMaxClients) {
      ::close(fd);
      continue;
    }
    auto c = std::make_unique<tClient>();
    c->Fd = fd;
    clients_.push_back(std::move(c));
  }
}

void tSessionHost::dropDead() {
  for (auto& c : clients_) {
    if (c->Dead) {
      ::close(c->Fd);
      c->Fd = -1;
    }
  }
  clients_.erase(std::remove_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->Fd < 0; }),
                 clients_.end());
}

void tSessionHost::stop(tClient* Requester) {
  drainProviders(Requester);
  stopped_ = true;
  // No new connections from here on: a start of the same name waits for our lock, not our socket.
  ::unlink(socketPath_.c_str());
  socketPath_.clear();
  if (!linkPath_.empty()) ::unlink(linkPath_.c_str());
  linkPath_.clear();
  ::close(listenFd_);
  listenFd_ = -1;
  handOver();
  if (writer_) writer_->Close();
  endConsumers();
  if (Requester != nullptr) {
    Requester->CloseWhenSent = true;
    queue(*Requester, reply(ERROR_SUCCESS));
  }
  // Let consumers and the stopper take what they are owed, for a bounded time.
  uint64_t deadline = RawClockNow() + 2000 * kRawPerMs;
  // Clients are not removed here: the stopper's own record is still in use by the caller.
  while (RawClockNow() < deadline) {
    std::vector<pollfd> fds;
    for (auto& c : clients_) {
      if (!c->Dead && !c->Out.empty()) fds.push_back({c->Fd, POLLOUT, 0});
    }
    if (fds.empty()) break;
    ::poll(fds.data(), fds.size(), 50);
    for (auto& c : clients_) writeClient(*c);
  }
}

void tSessionHost::Run() {
  while (!stopped_) {
    std::vector<pollfd> fds;
    fds.push_back({gSignalPipe[0], POLLIN, 0});
    fds.push_back({listenFd_, POLLIN, 0});
    for (auto& c : clients_) {
      short ev = POLLIN;
      if (!c->Out.empty()) ev = static_cast<short>(ev | POLLOUT);
      fds.push_back({c->Fd, ev, 0});
    }
    uint64_t now = RawClockNow();
    int timeout = now >= nextFlushRaw_ ? 0 : static_cast<int>((nextFlushRaw_ - now) / kRawPerMs + 1);
    int rc = ::poll(fds.data(), fds.size(), timeout);
    if (rc < 0 && errno != EINTR) break;
    if (fds[0].revents != 0) {
      stop(nullptr);
      break;
    }
    // Index into fds matches clients_ as they were when polled; new clients come after.
    size_t polled = clients_.size();
    for (size_t i = 0; i < polled && !stopped_; ++i) {
      auto& c = *clients_[i];
      short re = fds[i + 2].revents;
      if ((re & POLLOUT) != 0) writeClient(c);
      if ((re & (POLLIN | POLLHUP | POLLERR)) != 0) readClient(c);
    }
    if (stopped_) break;
    if ((fds[1].revents & POLLIN) != 0) acceptClients();
    now = RawClockNow();
    if (now >= nextFlushRaw_) {
      flushNow();
      nextFlushRaw_ = now + 1000 * kRawPerMs * std::max<uint32_t>(session_.FlushTimer, 1);
    }
    dropDead();
  }
}

}  // namespace lw::etw::posix
