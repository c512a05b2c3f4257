#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "capture/EventDecoder.h"
#include "capture/thruETWReaderThread.h"
#include "platform/os/Os.h"
#include "server/LogItems.h"

namespace {

std::vector<tLogItem> drain() {
  tLogItemsLock guard(LogItems);
  std::vector<tLogItem> out(LogItems.begin(), LogItems.end());
  LogItems.clear();
  return out;
}

void add(int N) {
  for (int i = 0; i < N; ++i) AddLogItem(0x0001, 0, "f.cpp", i, "m", 1.0, 1, 2);
}

class Queue : public ::testing::Test {
 protected:
  void SetUp() override { drain(); }
  void TearDown() override { drain(); }
};

}  // namespace

TEST_F(Queue, SequenceContinuesAcrossDrains) {
  add(1);
  auto first = drain();
  ASSERT_EQ(first.size(), 1u);
  add(3);
  auto next = drain();
  ASSERT_EQ(next.size(), 3u);
  for (size_t i = 0; i < next.size(); ++i) EXPECT_EQ(next[i].Seq, first[0].Seq + 1 + i);
  EXPECT_TRUE(LogItems.IsEmpty());
  EXPECT_TRUE(drain().empty());  // draining an empty queue changes nothing
}

TEST_F(Queue, EntryCarriesEveryField) {
  AddLogItem(0xFFFE0004, -7, "dir\\unit.cpp", 123, "text", 46367.25, 4242, 77);
  auto items = drain();
  ASSERT_EQ(items.size(), 1u);
  const tLogItem& e = items[0];
  EXPECT_EQ(e.LevelWord, 0xFFFE0004u);
  EXPECT_EQ(e.Category, -7);
  EXPECT_EQ(e.Line, 123);
  EXPECT_EQ(e.File, "dir\\unit.cpp");
  EXPECT_EQ(e.Message, "text");
  EXPECT_DOUBLE_EQ(e.Time, 46367.25);
  EXPECT_EQ(e.ProcessID, 4242u);
  EXPECT_EQ(e.ThreadID, 77u);
}

TEST_F(Queue, BoundTrimsTheOldestThousand) {
  add(1);
  const uint32_t base = drain()[0].Seq;  // the counter is process-wide: work relative to it
  add(11000);
  {
    tLogItemsLock guard(LogItems);
    EXPECT_EQ(LogItems.size(), 11000u);  // exactly at the bound: nothing removed
  }
  add(1);
  auto items = drain();
  ASSERT_EQ(items.size(), 10001u);
  EXPECT_EQ(items.front().Seq, base + 1001);
  EXPECT_EQ(items.back().Seq, base + 11001);
}

TEST_F(Queue, OwnEntriesIgnoreTheFilterAndCarryTheCallingThread) {
  const int saved = LevelFilter.exchange(0);
  uint32_t tid = 0;
  std::thread([&] {
    tid = lw::os::GetCurrentThreadId();
    AddOwnLogItem(0x0008, 0, "uETW_RPCServer", 99, "notice");
  }).join();
  LevelFilter = saved;
  auto items = drain();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].ThreadID, tid);
  EXPECT_NE(tid, lw::os::GetCurrentThreadId());
  EXPECT_EQ(items[0].ProcessID, lw::os::GetCurrentProcessId());
  EXPECT_EQ(items[0].LevelWord, 0x0008u);
  EXPECT_GT(items[0].Time, 40000.0);  // a present-day date-time
}

TEST(QueueObject, NewQueueIsEmpty) {
  tLogItems q;
  EXPECT_TRUE(q.IsEmpty());
  q.Lock();
  q.Lock();  // re-entrant
  q.push_back(tLogItem{});
  q.Unlock();
  EXPECT_FALSE(q.IsEmpty());
  q.clear();
  q.Unlock();
  EXPECT_TRUE(q.IsEmpty());
}

TEST_F(Queue, ProducersAndADrainingConsumerLoseNothing) {
  constexpr int kProducers = 4, kEach = 5000;
  add(1);
  const uint32_t base = drain()[0].Seq;
  std::atomic<int> running{kProducers};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&] {
      add(kEach);
      --running;
    });
  std::vector<tLogItem> seen;
  while (running.load() > 0 || !LogItems.IsEmpty()) {
    if (LogItems.IsEmpty()) {
      std::this_thread::yield();
      continue;
    }
    auto batch = drain();
    seen.insert(seen.end(), batch.begin(), batch.end());
  }
  for (auto& t : producers) t.join();
  auto rest = drain();
  seen.insert(seen.end(), rest.begin(), rest.end());
  // The bound may drop entries only when the consumer falls more than 11000 behind; count what the trim
  // removed through the gaps in the sequence.
  ASSERT_FALSE(seen.empty());
  uint64_t gaps = seen[0].Seq - base - 1;  // a trim before the first drain
  for (size_t i = 1; i < seen.size(); ++i) {
    ASSERT_GT(seen[i].Seq, seen[i - 1].Seq);
    gaps += seen[i].Seq - seen[i - 1].Seq - 1;
  }
  EXPECT_EQ(seen.size() + gaps, static_cast<size_t>(kProducers * kEach));
  EXPECT_EQ(gaps % 1000, 0u);
}
