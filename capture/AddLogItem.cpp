#include "capture/thruETWReaderThread.h"
#include "server/LogItems.h"

namespace {
// Numbers every entry that reaches the queue; only touched under the queue's lock. Never reset; wraps.
uint32_t LogSequence = 0;
}  // namespace

void AddLogItem(uint32_t LevelWord, int32_t Category, const std::string& File, int32_t Line,
                const std::string& Message, double Time, uint32_t ProcessID, uint32_t ThreadID) {
  AddLogItem(LevelWord, Category, std::string(File), Line, std::string(Message), Time, ProcessID, ThreadID);
}

void AddLogItem(uint32_t LevelWord, int32_t Category, std::string&& File, int32_t Line, std::string&& Message,
                double Time, uint32_t ProcessID, uint32_t ThreadID) {
  tLogItem item;
  item.LevelWord = LevelWord;
  item.Category = Category;
  item.Line = Line;
  item.File = std::move(File);
  item.Message = std::move(Message);
  item.Time = Time;
  item.ProcessID = ProcessID;
  item.ThreadID = ThreadID;

  tLogItemsLock guard(LogItems);
  item.Seq = ++LogSequence;
  LogItems.push_back(std::move(item));
  if (LogItems.size() > kLogItemsMax)
    for (size_t i = 0; i < kLogItemsTrim; ++i) LogItems.pop_front();
}
