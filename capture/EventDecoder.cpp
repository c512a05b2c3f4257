#include "capture/EventDecoder.h"

#include "capture/thruETWReaderThread.h"
#include "platform/os/CodePage.h"
#include "platform/os/DateTime.h"

const lw::tGuid kSupplierEventClass = {0x8EC0B600, 0x00C8, 0x485F, {0xB2, 0xDA, 0xFB, 0x91, 0x21, 0xD1, 0x28, 0xBA}};

std::atomic<int> LevelFilter{1};

tLevelClass LevelClassOf(uint32_t LevelWord) {
  const uint32_t level = LevelWord & 0xFFFFu;
  const uint32_t user = LevelWord >> 16;
  if (level == 0x0001 || level == 0x0002 || level == 0x0080 || level == 0xFFFF) return tLevelClass::Important;
  if (level >= 0x0010 && level <= 0x7FFF) return tLevelClass::Debug;
  if ((level == 0 || (level >= 3 && level <= 15)) && user >= 1 && user <= 0x7FFF) return tLevelClass::Debug;
  return tLevelClass::Diagnose;
}

namespace {

uint32_t readU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// Reads a NUL-terminated UTF-16LE text starting at Offset. Returns the offset just past the terminator,
// or Length when the text runs to the end of the payload without one.
uint32_t readText(const uint8_t* Payload, uint32_t Length, uint32_t Offset, std::string& Out) {
  if (Offset >= Length) return Length;
  uint32_t units = 0;
  const uint32_t available = (Length - Offset) / 2;
  while (units < available) {
    const uint8_t* u = Payload + Offset + 2 * units;
    if (u[0] == 0 && u[1] == 0) break;
    ++units;
  }
  Out = lw::os::Utf16LeToAnsi(Payload + Offset, units);
  if (units == available) return Length;  // no terminator inside the payload
  return Offset + 2 * (units + 1);
}

}  // namespace

void DecodeEvent(const tPlainEvent& Event, const uint8_t* Payload, uint32_t PayloadLength,
                 uint32_t ProcessId, uint32_t ThreadId) {
  if (Payload == nullptr || PayloadLength < 4) return;
  const uint32_t levelWord = readU32(Payload);
  const int filter = LevelFilter.load(std::memory_order_relaxed);
  const tLevelClass cls = LevelClassOf(levelWord);
  if (filter < 2 && cls == tLevelClass::Debug) return;
  if (filter < 1 && cls != tLevelClass::Important) return;

  const double time = lw::os::UtcFileTimeToDateTime(lw::tFileTime{Event.TimeStamp});

  std::string file, message;
  int32_t line = 0, category = 0;
  uint32_t pos = readText(Payload, PayloadLength, 4, file);
  if (pos < PayloadLength && PayloadLength - pos >= 4) {
    line = static_cast<int32_t>(readU32(Payload + pos));
    pos += 4;
    if (PayloadLength - pos >= 4) {
      category = static_cast<int32_t>(readU32(Payload + pos));
      pos += 4;
      readText(Payload, PayloadLength, pos, message);
    }
  }
  AddLogItem(levelWord, category, std::move(file), line, std::move(message), time, ProcessId, ThreadId);
}

void EventCallbackPlain(const tPlainEvent& Event) {
  if (!(Event.ClassGuid == kSupplierEventClass)) return;
  DecodeEvent(Event, Event.Payload, Event.PayloadLength, Event.ProcessId, Event.ThreadId);
}

void EventCallback(lw::etw::EVENT_TRACE* Event) {
  if (Event == nullptr) return;
  tPlainEvent plain;
  plain.ClassGuid = Event->Header.Guid;
  plain.ProcessId = Event->Header.ProcessId;
  plain.ThreadId = Event->Header.ThreadId;
  plain.TimeStamp = static_cast<uint64_t>(Event->Header.TimeStamp);
  plain.Payload = static_cast<const uint8_t*>(Event->MofData);
  plain.PayloadLength = Event->MofData != nullptr ? Event->MofLength : 0;
  EventCallbackPlain(plain);
}
