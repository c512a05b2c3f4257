// The POSIX trace API against real session hosts: control calls, providers, real-time consumers and
// the log file, as the reader and the suppliers use them.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

#include "platform/etw/FileConsumer.h"
#include "platform/os/Os.h"
#include "tests/etw/EtwTestSupport.h"

namespace lw::etw::test {
namespace {

tTraceApi& Api() { return SystemTraceApi(); }

const char* kName = "lwtest_session";

// A provider of this process: what its callback was told.
struct tProvider {
  std::atomic<int> Enables{0};
  std::atomic<int> Disables{0};
  std::atomic<TRACEHANDLE> Logger{0};
  std::atomic<int> Level{-1};
  std::atomic<ULONG> Flags{0};
  TRACEHANDLE Registration = 0;

  static ULONG Callback(WMIDPREQUESTCODE Code, void* Context, ULONG*, void* Buffer) {
    auto* self = static_cast<tProvider*>(Context);
    if (Code == WMI_ENABLE_EVENTS) {
      TRACEHANDLE h = Api().GetTraceLoggerHandle(Buffer);
      self->Level = Api().GetTraceEnableLevel(h);
      self->Flags = Api().GetTraceEnableFlags(h);
      self->Logger = h;
      ++self->Enables;
    } else if (Code == WMI_DISABLE_EVENTS) {
      self->Logger = 0;
      ++self->Disables;
    }
    return 0;
  }
  ULONG Register() {
    TRACE_GUID_REGISTRATION reg{&kEventClass, nullptr};
    return Api().RegisterTraceGuidsA(Callback, this, &kProvider, 1, &reg, nullptr, nullptr, &Registration);
  }
  ~tProvider() {
    if (Registration != 0) Api().UnregisterTraceGuids(Registration);
  }
};

struct tEvent {
  EVENT_TRACE_HEADER Header{};
  uint8_t Payload[64] = {};
};

ULONG Write(TRACEHANDLE Logger, uint32_t Value, size_t PayloadSize = 8) {
  tEvent e;
  e.Header.Size = static_cast<uint16_t>(sizeof(EVENT_TRACE_HEADER) + PayloadSize);
  e.Header.Guid = kEventClass;
  e.Header.Class.Level = 3;
  std::memcpy(e.Payload, &Value, sizeof Value);
  return Api().TraceEvent(Logger, &e.Header);
}

uint32_t ValueOf(const tSeenEvent& E) {
  uint32_t v = 0;
  if (E.Payload.size() >= 4) std::memcpy(&v, E.Payload.data(), 4);
  return v;
}

ULONG Start(tBlock& B, TRACEHANDLE& H) { return Api().StartTraceA(&H, kName, &B.Props); }

ULONG Flush() {
  tBlock b = MakeBlock();
  return Api().ControlTraceA(0, kName, &b.Props, EVENT_TRACE_CONTROL_FLUSH);
}

class SessionHost : public ::testing::Test {
 protected:
  void SetUp() override { gSeen.Clear(); }
  tSessionFolder folder_;
};

TEST_F(SessionHost, StartQueryStopKeepsTheStartPropertiesAndRefusesASecondStart) {
  tBlock query = MakeBlock();
  EXPECT_EQ(Api().QueryTraceA(0, kName, &query.Props), ERROR_WMI_INSTANCE_NOT_FOUND);

  std::string file = folder_.Path + "/QD_VELDDLL.etl";
  tBlock b = MakeBlock(kName, file);
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  EXPECT_NE(h, 0u);
  EXPECT_EQ(b.Props.Wnode.HistoricalContext, h);

  ASSERT_EQ(Api().QueryTraceA(0, kName, &query.Props), ERROR_SUCCESS);
  EXPECT_STREQ(query.LoggerName, kName);
  EXPECT_STREQ(query.LogFileName, file.c_str());
  EXPECT_EQ(query.Props.LogFileMode, 0x01000102u);
  EXPECT_EQ(query.Props.BufferSize, 16u);
  EXPECT_EQ(query.Props.MinimumBuffers, 4u);
  EXPECT_EQ(query.Props.MaximumBuffers, 32u);
  EXPECT_EQ(query.Props.MaximumFileSize, 10u);
  EXPECT_EQ(query.Props.EventsLost, 0u);
  EXPECT_EQ(Api().GetTraceLoggerHandle(&query.Props), h);
  // The same query by handle.
  tBlock byHandle = MakeBlock();
  EXPECT_EQ(Api().QueryTraceA(h, nullptr, &byHandle.Props), ERROR_SUCCESS);
  EXPECT_STREQ(byHandle.LoggerName, kName);

  tBlock again = MakeBlock(kName, file);
  TRACEHANDLE h2 = 0;
  EXPECT_EQ(Start(again, h2), ERROR_ALREADY_EXISTS);

  auto pid = static_cast<pid_t>(query.Props.LoggerThreadId);
  tBlock stop = MakeBlock();
  EXPECT_EQ(Api().ControlTraceA(0, kName, &stop.Props, EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
  EXPECT_EQ(Api().QueryTraceA(0, kName, &query.Props), ERROR_WMI_INSTANCE_NOT_FOUND);
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(pid); }));
  // A stopped session can be started again at once.
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
}

TEST_F(SessionHost, RefusesBadNamesAndBlocks) {
  TRACEHANDLE h = 0;
  tBlock b = MakeBlock("x", "");
  std::string longName(1024, 'a');
  EXPECT_EQ(Api().StartTraceA(&h, longName.c_str(), &b.Props), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Api().StartTraceA(&h, "a/b", &b.Props), ERROR_INVALID_PARAMETER);
  tBlock small = MakeBlock();
  small.Props.Wnode.BufferSize = 100;
  EXPECT_EQ(Api().StartTraceA(&h, kName, &small.Props), ERROR_BAD_LENGTH);
  tBlock unterminated = MakeBlock();
  std::memset(unterminated.LogFileName, 'x', sizeof unterminated.LogFileName);
  EXPECT_EQ(Api().StartTraceA(&h, kName, &unterminated.Props), ERROR_INVALID_PARAMETER);
  tBlock outside = MakeBlock();
  outside.Props.LogFileNameOffset = 5000;
  EXPECT_EQ(Api().StartTraceA(&h, kName, &outside.Props), ERROR_INVALID_PARAMETER);
  // A log file in a folder that does not exist: the start fails and leaves no session.
  tBlock missing = MakeBlock(kName, folder_.Path + "/no/such/folder/x.etl");
  EXPECT_EQ(Start(missing, h), ERROR_PATH_NOT_FOUND);
  tBlock q = MakeBlock();
  EXPECT_EQ(Api().QueryTraceA(0, kName, &q.Props), ERROR_WMI_INSTANCE_NOT_FOUND);
  EXPECT_EQ(Api().EnableTrace(1, 0, 3, &kProvider, 12345), ERROR_INVALID_HANDLE);
}

TEST_F(SessionHost, ProvidersAreToldOfEnableAtOnceOrAtRegistrationAndEventsReachConsumers) {
  tProvider early;
  ASSERT_EQ(early.Register(), ERROR_SUCCESS);
  tBlock b = MakeBlock(kName, "");
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  tConsumer consumer(kName);
  ASSERT_TRUE(consumer.Opened());

  ASSERT_EQ(Api().EnableTrace(1, 0x42, 3, &kProvider, h), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return early.Enables.load() == 1; }));
  EXPECT_EQ(early.Logger.load(), h);
  EXPECT_EQ(early.Level.load(), 3);
  EXPECT_EQ(early.Flags.load(), 0x42u);

  tProvider late;
  ASSERT_EQ(late.Register(), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return late.Enables.load() == 1; }));
  EXPECT_EQ(late.Level.load(), 3);

  tFileTime before = os::CurrentUtcFileTime();
  for (uint32_t i = 0; i < 100; ++i) ASSERT_EQ(Write(early.Logger, i), ERROR_SUCCESS);
  tFileTime after = os::CurrentUtcFileTime();
  ASSERT_EQ(Flush(), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([] { return gSeen.Count() == 100; }));
  {
    std::lock_guard l(gSeen.Mutex);
    for (uint32_t i = 0; i < 100; ++i) {
      const auto& e = gSeen.Events[i];
      EXPECT_EQ(ValueOf(e), i);
      EXPECT_EQ(e.Guid, kEventClass);
      EXPECT_EQ(e.Payload.size(), 8u);
      EXPECT_EQ(e.ProcessId, os::GetCurrentProcessId());
      EXPECT_EQ(e.ThreadId, os::GetCurrentThreadId());
      // Stamped at write time, delivered as UTC file time (a second of slack for the two clocks).
      EXPECT_GE(e.TimeStamp + 10000000, static_cast<int64_t>(before.Value));
      EXPECT_LE(e.TimeStamp, static_cast<int64_t>(after.Value) + 10000000);
    }
  }

  ASSERT_EQ(Api().EnableTrace(0, 0, 0, &kProvider, h), ERROR_SUCCESS);
  EXPECT_TRUE(WaitFor([&] { return early.Disables.load() == 1 && late.Disables.load() == 1; }));
}

TEST_F(SessionHost, RealTimeOffEndsConsumersAndTheSessionGoesOnWithItsFile) {
  std::string file = folder_.Path + "/rt.etl";
  tBlock b = MakeBlock(kName, file);
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  tProvider p;
  ASSERT_EQ(p.Register(), ERROR_SUCCESS);
  ASSERT_EQ(Api().EnableTrace(1, 0, 3, &kProvider, h), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return p.Logger.load() != 0; }));
  {
    tConsumer first(kName);
    tConsumer second(kName);  // a second consumer gets the same events
    ASSERT_TRUE(first.Opened() && second.Opened());
    for (uint32_t i = 0; i < 10; ++i) ASSERT_EQ(Write(p.Logger, i), ERROR_SUCCESS);
    ASSERT_EQ(Flush(), ERROR_SUCCESS);
    EXPECT_TRUE(WaitFor([] { return gSeen.Count() == 20; }));

    // As the reader switches real-time delivery off: no file name, mode 0.
    tBlock off = MakeBlock(kName, "");
    off.Props.LogFileNameOffset = 0;
    off.Props.LogFileMode = 0;
    ASSERT_EQ(Api().UpdateTraceA(0, kName, &off.Props), ERROR_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return first.Done.load() && second.Done.load(); }));
    EXPECT_EQ(first.Result.load(), ERROR_SUCCESS);
  }
  tBlock q = MakeBlock();
  ASSERT_EQ(Api().QueryTraceA(0, kName, &q.Props), ERROR_SUCCESS);
  EXPECT_EQ(q.Props.LogFileMode, 0x01000002u);
  EXPECT_STREQ(q.LogFileName, file.c_str());
  // Without real-time delivery no consumer can join.
  EVENT_TRACE_LOGFILEA lf{};
  std::string name = kName;
  lf.LoggerName = name.data();
  lf.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  EXPECT_EQ(Api().OpenTraceA(&lf), INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(os::GetLastError(), ERROR_WMI_INSTANCE_NOT_FOUND);

  // Events written meanwhile still go to the file; real-time on again takes consumers.
  for (uint32_t i = 100; i < 105; ++i) ASSERT_EQ(Write(p.Logger, i), ERROR_SUCCESS);
  tBlock on = MakeBlock(kName, "");
  on.Props.LogFileNameOffset = 0;
  on.Props.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  ASSERT_EQ(Api().UpdateTraceA(0, kName, &on.Props), ERROR_SUCCESS);
  EXPECT_EQ(on.Props.LogFileMode, 0x01000102u);
  {
    tConsumer third(kName);
    EXPECT_TRUE(third.Opened());
    tBlock stop = MakeBlock();
    ASSERT_EQ(Api().ControlTraceA(0, kName, &stop.Props, EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return third.Done.load(); }));
  }

  // The file holds every event, those written while real-time delivery was off included.
  gSeen.Clear();
  EVENT_TRACE_LOGFILEA f{};
  f.LogFileName = file.data();
  f.LogFileMode = PROCESS_TRACE_MODE_LOGFILE;
  f.EventCallback = CollectEvent;
  TRACEHANDLE fh = Api().OpenTraceA(&f);
  ASSERT_NE(fh, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_NE(f.LogfileHeader.EndTime, 0);
  EXPECT_EQ(Api().ProcessTrace(&fh, 1, nullptr, nullptr), ERROR_SUCCESS);
  Api().CloseTrace(fh);
  std::vector<uint32_t> values;
  for (const auto& e : gSeen.Events) {
    if (e.Guid == kEventClass) values.push_back(ValueOf(e));
  }
  std::vector<uint32_t> expected = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 100, 101, 102, 103, 104};
  EXPECT_EQ(values, expected);
}

TEST_F(SessionHost, BuffersAreHandedOverWhenFullAndEventsFindingNoBufferAreCountedLost) {
  tBlock b = MakeBlock(kName, "", 0x01000100, 4);
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  tProvider p;
  ASSERT_EQ(p.Register(), ERROR_SUCCESS);
  ASSERT_EQ(Api().EnableTrace(1, 0, 3, &kProvider, h), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return p.Logger.load() != 0; }));
  gSeen.Hold = true;  // a consumer that cannot keep up
  uint32_t written = 0;
  {
    tConsumer slow(kName);
    ASSERT_TRUE(slow.Opened());
    // 16 KB buffers take some 250 events of 56 bytes: 4000 events fill far more than 4 buffers.
    for (uint32_t i = 0; i < 4000; ++i) {
      if (Write(p.Logger, i) == ERROR_SUCCESS) ++written;
    }
    tBlock q = MakeBlock();
    ASSERT_TRUE(WaitFor([&] {
      Api().QueryTraceA(0, kName, &q.Props);
      return q.Props.EventsLost > 0;
    }));
    gSeen.Hold = false;
    // Every event written is delivered or counted lost (events the provider still batches reach the
    // session first), and none is counted twice.
    EXPECT_TRUE(WaitFor([&] {
      Flush();
      Api().QueryTraceA(0, kName, &q.Props);
      return gSeen.Count() + q.Props.EventsLost == written;
    }));
    EXPECT_EQ(gSeen.Count() + q.Props.EventsLost, static_cast<size_t>(written));
    tBlock stop = MakeBlock();
    ASSERT_EQ(Api().ControlTraceA(0, kName, &stop.Props, EVENT_TRACE_CONTROL_STOP), ERROR_SUCCESS);
    EXPECT_TRUE(WaitFor([&] { return slow.Done.load(); }));
    EXPECT_EQ(gSeen.Count() + stop.Props.EventsLost, static_cast<size_t>(written));
    EXPECT_GT(stop.Props.EventsLost, 0u);
  }
}

// A raw connection to a session's socket, for clients that misbehave.
int RawConnect(const std::string& Path) {
  uint32_t status = 0;
  return posix::ConnectSession(Path, status);
}

TEST_F(SessionHost, SurvivesClientsThatVanishMidMessageOrSendGarbage) {
  tBlock b = MakeBlock(kName, "");
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  std::string sock = posix::SocketPath(folder_.Path, kName);
  const std::vector<std::vector<uint8_t>> bad = {
      {0x10, 0x00},                                   // half a length
      {0x20, 0, 0, 0, 2, 1, 2},                       // a frame cut short
      {0xff, 0xff, 0xff, 0xff, 1},                    // a length past the limit
      {0x01, 0, 0, 0, 0x7e},                          // an unknown type
      {0x05, 0, 0, 0, 6, 1, 2, 3, 4},                 // an event from a connection that is no provider
      {0x02, 0, 0, 0, 2, 9},                          // a control frame without its session
  };
  for (const auto& bytes : bad) {
    int fd = RawConnect(sock);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(posix::SendAll(fd, bytes));
    ::close(fd);
  }
  // A client that connects and never speaks does not hold up others.
  int silent = RawConnect(sock);
  tBlock q = MakeBlock();
  EXPECT_EQ(Api().QueryTraceA(0, kName, &q.Props), ERROR_SUCCESS);
  ::close(silent);
  EXPECT_EQ(Api().QueryTraceA(0, kName, &q.Props), ERROR_SUCCESS);
}

TEST_F(SessionHost, ASocketTheCallerMayNotOpenGivesAccessDenied) {
  tBlock b = MakeBlock(kName, "");
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  std::string sock = posix::SocketPath(folder_.Path, kName);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // root passes every permission check: the child becomes nobody; others lose the socket's bits.
    if (::getuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(100);
    } else {
      ::chmod(sock.c_str(), 0);
    }
    tBlock q = MakeBlock();
    ULONG query = Api().QueryTraceA(0, kName, &q.Props);
    TRACEHANDLE h2 = 0;
    tBlock s = MakeBlock(kName, "");
    ULONG start = Api().StartTraceA(&h2, kName, &s.Props);
    _exit(query == ERROR_ACCESS_DENIED && start == ERROR_ACCESS_DENIED ? 0 : 1);
  }
  int ws = 0;
  ASSERT_EQ(::waitpid(child, &ws, 0), child);
  ASSERT_TRUE(WIFEXITED(ws));
  EXPECT_EQ(WEXITSTATUS(ws), 0);
}

TEST_F(SessionHost, CloseTraceEndsARunningConsumption) {
  tBlock b = MakeBlock(kName, "");
  TRACEHANDLE h = 0;
  ASSERT_EQ(Start(b, h), ERROR_SUCCESS);
  EVENT_TRACE_LOGFILEA lf{};
  std::string name = kName;
  lf.LoggerName = name.data();
  lf.LogFileMode = EVENT_TRACE_REAL_TIME_MODE;
  lf.EventCallback = CollectEvent;
  TRACEHANDLE t = Api().OpenTraceA(&lf);
  ASSERT_NE(t, INVALID_PROCESSTRACE_HANDLE);
  EXPECT_EQ(lf.LogfileHeader.BufferSize, 16384u);
  std::atomic<ULONG> result{0xFFFFFFFF};
  std::thread run([&] { result = Api().ProcessTrace(&t, 1, nullptr, nullptr); });
  // Once an event has come through, the consumption is surely under way.
  tProvider p;
  ASSERT_EQ(p.Register(), ERROR_SUCCESS);
  ASSERT_EQ(Api().EnableTrace(1, 0, 3, &kProvider, h), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([&] { return p.Logger.load() != 0; }));
  ASSERT_EQ(Write(p.Logger, 7), ERROR_SUCCESS);
  ASSERT_EQ(Flush(), ERROR_SUCCESS);
  ASSERT_TRUE(WaitFor([] { return gSeen.Count() == 1; }));
  EXPECT_EQ(Api().CloseTrace(t), ERROR_SUCCESS);
  run.join();
  EXPECT_EQ(result.load(), ERROR_CANCELLED);
  EXPECT_EQ(Api().CloseTrace(t), ERROR_INVALID_HANDLE);
}

}  // namespace
}  // namespace lw::etw::test
