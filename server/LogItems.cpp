#include "server/LogItems.h"

#include "capture/thruETWReaderThread.h"
#include "platform/os/DateTime.h"
#include "platform/os/Os.h"

tLogItems LogItems;

void AddOwnLogItem(uint32_t LevelWord, int32_t Category, const std::string& File, int32_t Line,
                   const std::string& Message) {
  AddLogItem(LevelWord, Category, File, Line, Message, lw::os::Now(), lw::os::GetCurrentProcessId(),
             lw::os::GetCurrentThreadId());
}
