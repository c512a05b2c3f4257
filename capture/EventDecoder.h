// Decoding of supplier trace events into log entries.
//
// Only events of the supplier event class are decoded; every read stays inside the payload. Runs on the
// reader thread (or any single thread); LevelFilter may be changed from another thread at any time.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/etw/Etw.h"
#include "platform/os/Types.h"

// The supplier event class {8EC0B600-00C8-485F-B2DA-FB9121D128BA}.
extern const lw::tGuid kSupplierEventClass;

// 0: important only; 1: important and diagnose; 2 or more: everything. 1 at start.
extern std::atomic<int> LevelFilter;

enum class tLevelClass { Important, Diagnose, Debug };
tLevelClass LevelClassOf(uint32_t LevelWord);

// A trace event as the decoder sees it, free of the platform's record type.
struct tPlainEvent {
  lw::tGuid ClassGuid;
  uint32_t ProcessId = 0;
  uint32_t ThreadId = 0;
  uint64_t TimeStamp = 0;  // UTC file time
  const uint8_t* Payload = nullptr;
  uint32_t PayloadLength = 0;
};

// Event callback registered for trace processing: decodes events of the supplier class.
void EventCallback(lw::etw::EVENT_TRACE* Event);
void EventCallbackPlain(const tPlainEvent& Event);

// Applies the level filter and queues the entry with AddLogItem. A payload shorter than the level word
// is ignored; otherwise the entry takes what could be read: a text without terminator ends at the
// payload's end, a missing line or category is 0.
void DecodeEvent(const tPlainEvent& Event, const uint8_t* Payload, uint32_t PayloadLength,
                 uint32_t ProcessId, uint32_t ThreadId);
