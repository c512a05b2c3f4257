// The log-entry queue that every producer of messages shares.
//
// tLogItems holds entries oldest first. Producers add with AddLogItem / AddOwnLogItem, each add under the
// queue's lock; the window drains under the same lock (Lock, read front to back, clear, Unlock). The lock
// is re-entrant and always the innermost lock of the program: nothing takes another lock while holding it.
// IsEmpty may be called without the lock; its answer is a hint that can be stale.
//
// The container operations (size, iteration, clear, push_back, pop_front) require the lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

struct tLogItem {
  uint32_t LevelWord = 0;
  int32_t Category = 0;
  int32_t Line = 0;
  std::string File;
  std::string Message;
  uint32_t Seq = 0;
  double Time = 0.0;  // days since 1899-12-30, local time
  uint32_t ProcessID = 0;
  uint32_t ThreadID = 0;
};

class tLogItems {
 public:
  using container = std::deque<tLogItem>;
  using const_iterator = container::const_iterator;
  using iterator = container::iterator;

  tLogItems() = default;
  virtual ~tLogItems() = default;
  tLogItems(const tLogItems&) = delete;
  tLogItems& operator=(const tLogItems&) = delete;

  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }
  bool IsEmpty() const { return count_.load(std::memory_order_acquire) == 0; }

  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  tLogItem& front() { return items_.front(); }
  tLogItem& back() { return items_.back(); }
  const tLogItem& operator[](size_t Index) const { return items_[Index]; }
  void clear() {
    items_.clear();
    count_.store(0, std::memory_order_release);
  }
  void push_back(tLogItem&& Item) {
    items_.push_back(std::move(Item));
    count_.store(items_.size(), std::memory_order_release);
  }
  void pop_front() {
    items_.pop_front();
    count_.store(items_.size(), std::memory_order_release);
  }

 private:
  std::recursive_mutex lock_;
  container items_;
  std::atomic<size_t> count_{0};
};

// Holds the queue's lock for a scope; released on every path out, exceptions included.
class tLogItemsLock {
 public:
  explicit tLogItemsLock(tLogItems& Items) : items_(Items) { items_.Lock(); }
  ~tLogItemsLock() { items_.Unlock(); }
  tLogItemsLock(const tLogItemsLock&) = delete;
  tLogItemsLock& operator=(const tLogItemsLock&) = delete;

 private:
  tLogItems& items_;
};

// The queue of the process. Built before main runs, destroyed at exit.
extern tLogItems LogItems;

// Queue bound: after an add that leaves more than kLogItemsMax entries, the kLogItemsTrim oldest go.
inline constexpr size_t kLogItemsMax = 11000;
inline constexpr size_t kLogItemsTrim = 1000;

// The program's own messages: stamped with the current local time, this process and the calling
// thread. No level filter applies.
void AddOwnLogItem(uint32_t LevelWord, int32_t Category, const std::string& File, int32_t Line,
                   const std::string& Message);
