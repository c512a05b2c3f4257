// The reader unit: log entries from trace events, the reader thread, session control and replay.
#pragma once

#include <cstdint>
#include <string>

#include "capture/EventDecoder.h"

// Numbers the entry, appends it to LogItems and trims the queue. Thread-safe (takes the queue's lock).
void AddLogItem(uint32_t LevelWord, int32_t Category, const std::string& File, int32_t Line,
                const std::string& Message, double Time, uint32_t ProcessID, uint32_t ThreadID);
// The same, taking the texts over instead of copying them (the decoder's path).
void AddLogItem(uint32_t LevelWord, int32_t Category, std::string&& File, int32_t Line, std::string&& Message,
                double Time, uint32_t ProcessID, uint32_t ThreadID);
