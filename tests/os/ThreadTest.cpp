#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

#include "platform/os/Os.h"
#include "platform/os/Thread.h"

using lw::os::tThread;

namespace {

class Worker : public tThread {
 public:
  explicit Worker(bool Throw = false, std::atomic<int>* Outside = nullptr) : throw_(Throw), outside_(Outside) {}
  ~Worker() override {
    Terminate();
    WaitFor();
  }
  std::atomic<int> loops{0};
  std::atomic<bool> ran{false};
  std::atomic<uint32_t> seenId{0};

 protected:
  void Execute() override {
    NameThread("lw-test-worker-with-a-long-name");
    ran = true;
    seenId = lw::os::GetCurrentThreadId();
    if (throw_) throw std::runtime_error("boom");
    while (!Terminated()) {
      ++loops;
      if (outside_ != nullptr) ++*outside_;
      lw::os::Sleep(1);
    }
    SetReturnValue(42);
  }

 private:
  bool throw_;
  std::atomic<int>* outside_;
};

}  // namespace

TEST(Thread, RunsOnlyAfterResumeAndStopsOnRequest) {
  Worker w;
  lw::os::Sleep(20);
  EXPECT_FALSE(w.ran.load());
  EXPECT_FALSE(w.Started());
  EXPECT_EQ(w.ThreadID(), 0u);
  w.Resume();
  while (w.loops.load() < 3) lw::os::Sleep(1);
  EXPECT_FALSE(w.Finished());
  w.Resume();  // a second Resume changes nothing
  w.Terminate();
  EXPECT_TRUE(w.Terminated());
  EXPECT_EQ(w.WaitFor(), 42u);
  EXPECT_TRUE(w.Finished());
  EXPECT_EQ(w.ThreadID(), w.seenId.load());
  EXPECT_NE(w.ThreadID(), lw::os::GetCurrentThreadId());
  EXPECT_EQ(w.FatalException(), nullptr);
}

TEST(Thread, NeverResumedThreadIsDestroyedWithoutRunning) {
  auto* w = new Worker;
  EXPECT_EQ(w->WaitFor(), 0u);  // returns at once
  delete w;
}

TEST(Thread, DestructionStopsARunningThread) {
  std::atomic<int> loops{0};
  {
    Worker w(false, &loops);
    w.Resume();
    while (loops.load() < 1) lw::os::Sleep(1);
  }  // must not hang
  const int after = loops.load();
  lw::os::Sleep(30);
  EXPECT_EQ(loops.load(), after);  // the thread is gone, not left running
}

TEST(Thread, ExceptionEndsTheThreadAndIsKept) {
  Worker w(true);
  w.Resume();
  w.WaitFor();
  EXPECT_TRUE(w.Finished());
  ASSERT_NE(w.FatalException(), nullptr);
  EXPECT_THROW(std::rethrow_exception(w.FatalException()), std::runtime_error);
}
