// The reader with the real trace API: session hosts and supplier processes. Every process a test
// starts is stopped by it (the supplier by signal and wait, hosts through the API or by their pid), in
// a private sessions folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "capture/thruETWReaderThread.h"
#include "server/LogItems.h"
#include "tests/etw/EtwTestSupport.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace lw::etw;
using lw::etw::test::MakeBlock;
using lw::etw::test::ProcessGone;
using lw::etw::test::tBlock;
using lw::etw::test::tSessionFolder;
using lw::etw::test::WaitFor;

namespace {

// A supplier process with its standard output on a pipe.
class tSupplier {
 public:
  explicit tSupplier(const std::vector<std::string>& Args) {
    int p[2];
    if (::pipe(p) != 0) return;
    std::vector<std::string> all = {LW_SUPPLIER_PATH};
    all.insert(all.end(), Args.begin(), Args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    posix_spawn_file_actions_addclose(&fa, p[0]);
    if (::posix_spawn(&pid_, all[0].c_str(), &fa, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    out_ = p[0];
  }
  ~tSupplier() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  pid_t Pid() const { return pid_; }
  // Reads lines until one starts with Prefix; bounded.
  bool WaitLine(const std::string& Prefix, std::string* Line = nullptr) {
    for (int i = 0; i < 400; ++i) {
      size_t nl;
      while ((nl = buffer_.find('\n')) != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (line.rfind(Prefix, 0) == 0) {
          if (Line != nullptr) *Line = line;
          return true;
        }
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, 50) > 0) {
        char chunk[512];
        ssize_t n = ::read(out_, chunk, sizeof chunk);
        if (n <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(n));
      }
    }
    return false;
  }
  int Wait() {
    int ws = 0;
    if (pid_ > 0 && ::waitpid(pid_, &ws, 0) == pid_) pid_ = -1;
    return WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// The window's part: flushes the session every 200 ms while the reader consumes it.
class tTicker {
 public:
  explicit tTicker(tETWReaderThread& R) : thread_([this, &R] {
      while (!stop_) {
        if (R.IsProcessing()) R.FlushSession();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
      }
    }) {}
  ~tTicker() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::vector<tLogItem> ItemsOf(uint32_t Pid, bool Take = false) {
  tLogItemsLock lock(LogItems);
  std::vector<tLogItem> out;
  for (const auto& i : LogItems) {
    if (i.ProcessID == Pid) out.push_back(i);
  }
  if (Take) LogItems.clear();
  return out;
}

ULONG Query(tBlock& B) { return SystemTraceApi().QueryTraceA(0, kSessionName, &B.Props); }

class ReaderLive : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      tLogItemsLock lock(LogItems);
      LogItems.clear();
    }
    LevelFilter = 2;
    char tmpl[] = "/tmp/lwrun-XXXXXX";
    program_ = ::mkdtemp(tmpl);
    program_ += "/";
    CurrentLogFile = program_ + "QD_VELDDLL.etl";
  }
  void TearDown() override {
    sessions_.StopAll();
    fs::remove_all(program_);
  }
  // A supplier writing Count events, once it has registered.
  std::unique_ptr<tSupplier> Supplier(int Count, const std::string& Message = "m %n") {
    auto s = std::make_unique<tSupplier>(std::vector<std::string>{
        "--count", std::to_string(Count), "--level", "0x0002,0x00050002", "--file", "unit.cpp", "--line", "12",
        "--category", "4", "--message", Message, "--wait-ms", "20000"});
    EXPECT_TRUE(s->WaitLine("registered"));
    return s;
  }

  tSessionFolder sessions_;
  std::string program_;
};

TEST_F(ReaderLive, StartsAnAbsentSessionDeliversInOrderAndStopsItAtTheEnd) {
  uint32_t supplierPid = 0;
  pid_t hostPid = 0;
  {
    tETWReaderThread reader(SystemTraceApi(), program_);
    reader.Resume();
    ASSERT_TRUE(WaitFor([&] { return reader.IsProcessing(); }));
    EXPECT_NE(reader.SessionHandle(), 0u);
    tBlock q = MakeBlock();
    ASSERT_EQ(Query(q), ERROR_SUCCESS);
    EXPECT_EQ(q.LogFileName, CurrentLogFile);
    hostPid = static_cast<pid_t>(q.Props.LoggerThreadId);
    tTicker window(reader);
    auto s = Supplier(300);
    supplierPid = static_cast<uint32_t>(s->Pid());
    ASSERT_TRUE(s->WaitLine("done written=300"));
    EXPECT_EQ(s->Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return ItemsOf(supplierPid).size() == 300; }));
    auto items = ItemsOf(supplierPid);
    for (size_t i = 0; i < items.size(); ++i) {
      EXPECT_EQ(items[i].Message, "m " + std::to_string(i + 1));
      EXPECT_EQ(items[i].LevelWord, i % 2 == 0 ? 0x0002u : 0x00050002u);
      EXPECT_EQ(items[i].File, "unit.cpp");
      EXPECT_EQ(items[i].Line, 12);
      EXPECT_EQ(items[i].Category, 4);
      EXPECT_NE(items[i].ThreadID, 0u);
      if (i > 0) {
        EXPECT_EQ(items[i].Seq, items[i - 1].Seq + 1);
      }
    }
    EXPECT_EQ(reader.GetStatus(), 0u);
  }
  tBlock q = MakeBlock();
  EXPECT_EQ(Query(q), ERROR_WMI_INSTANCE_NOT_FOUND);
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(hostPid); }));
}

TEST_F(ReaderLive, JoinsARunningSessionAndOnlySwitchesItsRealTimeOffAtTheEnd) {
  std::string file = program_ + "joined.etl";
  tBlock b = MakeBlock(kSessionName, file);
  TRACEHANDLE h = 0;
  ASSERT_EQ(SystemTraceApi().StartTraceA(&h, kSessionName, &b.Props), ERROR_SUCCESS);
  {
    tETWReaderThread reader(SystemTraceApi(), program_);
    reader.Resume();
    ASSERT_TRUE(WaitFor([&] { return reader.IsProcessing(); }));
    EXPECT_EQ(reader.SessionHandle(), 0u);
    EXPECT_EQ(CurrentLogFile, file);
    tTicker window(reader);
    auto s = Supplier(20);
    ASSERT_TRUE(s->WaitLine("done"));
    EXPECT_TRUE(WaitFor([&] { return ItemsOf(static_cast<uint32_t>(s->Pid())).size() == 20; }));
  }
  tBlock q = MakeBlock();
  ASSERT_EQ(Query(q), ERROR_SUCCESS);  // still running, without real-time delivery
  EXPECT_EQ(q.Props.LogFileMode & EVENT_TRACE_REAL_TIME_MODE, 0u);
  EXPECT_STREQ(q.LogFileName, file.c_str());
}

TEST_F(ReaderLive, TurnsRealTimeOnForASessionWithoutIt) {
  std::string file = program_ + "elsewhere.etl";
  tBlock b = MakeBlock(kSessionName, file, 0x01000002);
  TRACEHANDLE h = 0;
  ASSERT_EQ(SystemTraceApi().StartTraceA(&h, kSessionName, &b.Props), ERROR_SUCCESS);
  tETWReaderThread reader(SystemTraceApi(), program_);
  reader.Resume();
  ASSERT_TRUE(WaitFor([&] { return reader.IsProcessing(); }));
  tBlock q = MakeBlock();
  ASSERT_EQ(Query(q), ERROR_SUCCESS);
  EXPECT_EQ(q.Props.LogFileMode, 0x01000102u);
  EXPECT_STREQ(q.LogFileName, file.c_str());  // the file did not change
  tTicker window(reader);
  auto s = Supplier(5);
  ASSERT_TRUE(s->WaitLine("done"));
  EXPECT_TRUE(WaitFor([&] { return ItemsOf(static_cast<uint32_t>(s->Pid())).size() == 5; }));
}

TEST_F(ReaderLive, TheNextRunReplaysTheLogFileNewestFirstAndRestartsAStoppedSession) {
  uint32_t firstPid = 0;
  {
    tETWReaderThread reader(SystemTraceApi(), program_);
    reader.Resume();
    ASSERT_TRUE(WaitFor([&] { return reader.IsProcessing(); }));
    tTicker window(reader);
    auto s = Supplier(50, "first %n");
    firstPid = static_cast<uint32_t>(s->Pid());
    ASSERT_TRUE(s->WaitLine("done"));
    ASSERT_TRUE(WaitFor([&] { return ItemsOf(firstPid).size() == 50; }));

    // Stopped from outside: the consumption ends and the reader starts the session anew.
    tBlock q = MakeBlock();
    ASSERT_EQ(Query(q), ERROR_SUCCESS);
    auto firstHost = static_cast<pid_t>(q.Props.LoggerThreadId);
    tBlock stop = MakeBlock();
    ASSERT_EQ(SystemTraceApi().ControlTraceA(0, kSessionName, &stop.Props, EVENT_TRACE_CONTROL_STOP),
              ERROR_SUCCESS);
    ASSERT_TRUE(WaitFor([&] {
      tBlock again = MakeBlock();
      return Query(again) == ERROR_SUCCESS && static_cast<pid_t>(again.Props.LoggerThreadId) != firstHost &&
             reader.IsProcessing();
    }));
    auto s2 = Supplier(10, "second %n");
    ASSERT_TRUE(s2->WaitLine("done"));
    EXPECT_TRUE(WaitFor([&] { return ItemsOf(static_cast<uint32_t>(s2->Pid())).size() == 10; }));
  }
  // The restarted session rewrote the log file: it holds the ten "second" events. An older copy of it
  // stands in for a numbered file of an earlier run.
  fs::path main = program_ + "QD_VELDDLL.etl";
  ASSERT_TRUE(fs::exists(main));
  {
    tLogItemsLock lock(LogItems);
    LogItems.clear();
  }
  fs::copy_file(main, program_ + "QD_VELDdll_001.etl");
  fs::last_write_time(program_ + "QD_VELDdll_001.etl", fs::last_write_time(main) - std::chrono::hours(1));
  tETWReaderThread next(SystemTraceApi(), program_);
  next.Resume();
  ASSERT_TRUE(WaitFor([&] { return next.IsProcessing(); }));
  std::vector<std::string> replayed;
  {
    tLogItemsLock lock(LogItems);
    for (const auto& i : LogItems) {
      if (i.File == "unit.cpp") replayed.push_back(i.Message);
    }
  }
  // Newest first: the main file, then the numbered copy, each with the ten events of the second run.
  ASSERT_EQ(replayed.size(), 20u);
  EXPECT_EQ(replayed.front(), "second 1");
  EXPECT_EQ(replayed[10], "second 1");
  EXPECT_EQ(replayed.back(), "second 10");
}

TEST_F(ReaderLive, WithoutAccessToTheSessionTheStatusIsAccessDeniedAndTheReaderIdles) {
  tBlock b = MakeBlock(kSessionName, "");
  TRACEHANDLE h = 0;
  ASSERT_EQ(SystemTraceApi().StartTraceA(&h, kSessionName, &b.Props), ERROR_SUCCESS);
  std::string sock = lw::etw::posix::SocketPath(sessions_.Path, kSessionName);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::getuid() == 0) {
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) _exit(100);
    } else {
      ::chmod(sock.c_str(), 0);
    }
    int code = 1;
    {
      tETWReaderThread reader(SystemTraceApi(), "/nonexistent/");
      reader.Resume();
      bool denied = WaitFor([&] { return reader.GetStatus() == ERROR_ACCESS_DENIED; });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (denied && reader.GetStatus() == ERROR_ACCESS_DENIED && !reader.IsProcessing() && !reader.Finished())
        code = 0;
    }
    _exit(code);
  }
  int ws = 0;
  ASSERT_EQ(::waitpid(child, &ws, 0), child);
  ASSERT_TRUE(WIFEXITED(ws));
  EXPECT_EQ(WEXITSTATUS(ws), 0);
  tBlock q = MakeBlock();
  EXPECT_EQ(Query(q), ERROR_SUCCESS);  // the session is untouched
  EXPECT_NE(q.Props.LogFileMode & EVENT_TRACE_REAL_TIME_MODE, 0u);
}

}  // namespace
