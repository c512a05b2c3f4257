// Layout constants of trace log files, and little-endian access to their bytes.
//
// A log file is a run of equal-sized buffers. Buffer 0 is the header buffer and starts with the header
// event; the others hold records, each 8-byte aligned, up to the buffer's saved offset; the rest of a
// buffer is filled with 0xFF. These values are shared by the reader, the writer and their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/os/Types.h"

namespace lw::etl {

// Buffer header (0x48 bytes).
inline constexpr uint32_t kBufferHeaderSize = 0x48;
inline constexpr size_t kBufOffBufferSize = 0x00;
inline constexpr size_t kBufOffSavedOffset = 0x04;
inline constexpr size_t kBufOffCurrentOffset = 0x08;
inline constexpr size_t kBufOffRefCount = 0x0C;
inline constexpr size_t kBufOffTimeStamp = 0x10;
inline constexpr size_t kBufOffSequence = 0x18;
inline constexpr size_t kBufOffClockType = 0x20;  // written as 0 here; readers ignore it
inline constexpr size_t kBufOffProcessor = 0x28;
inline constexpr size_t kBufOffLoggerId = 0x2A;
inline constexpr size_t kBufOffState = 0x2C;
inline constexpr size_t kBufOffOffset = 0x30;
inline constexpr size_t kBufOffFlags = 0x34;
inline constexpr size_t kBufOffType = 0x36;

inline constexpr uint16_t kBufferFlagFlushMarker = 0x01;
inline constexpr uint16_t kBufferFlagEventsLost = 0x02;
inline constexpr uint16_t kBufferFlagBufferLost = 0x04;
inline constexpr uint16_t kBufferFlagProcIndex = 0x20;
inline constexpr uint16_t kBufferFlagCompressed = 0x40;

inline constexpr uint16_t kBufferTypeGeneric = 0;
inline constexpr uint16_t kBufferTypeHeader = 4;
inline constexpr uint16_t kBufferTypeEmptyMarker = 6;
inline constexpr uint32_t kBufferStateFlushed = 3;

// Smallest and largest buffer sizes accepted by the reader and the writer.
inline constexpr uint32_t kMinBufferSize = 1024;
inline constexpr uint32_t kMaxBufferSize = 16u * 1024 * 1024;

// Record header types (byte 2 of the record's first dword).
inline constexpr uint8_t kHdrSystem32 = 0x01;
inline constexpr uint8_t kHdrSystem64 = 0x02;
inline constexpr uint8_t kHdrCompact32 = 0x03;
inline constexpr uint8_t kHdrCompact64 = 0x04;
inline constexpr uint8_t kHdrFull32 = 0x0A;
inline constexpr uint8_t kHdrInstance32 = 0x0B;
inline constexpr uint8_t kHdrError = 0x0D;
inline constexpr uint8_t kHdrMessage = 0x0F;
inline constexpr uint8_t kHdrPerfInfo32 = 0x10;
inline constexpr uint8_t kHdrPerfInfo64 = 0x11;
inline constexpr uint8_t kHdrEventHeader32 = 0x12;
inline constexpr uint8_t kHdrEventHeader64 = 0x13;
inline constexpr uint8_t kHdrFull64 = 0x14;
inline constexpr uint8_t kHdrInstance64 = 0x15;

inline constexpr uint32_t kFullHeaderSize = 0x30;      // classic event header, class GUID inline
inline constexpr uint32_t kInstanceHeaderSize = 0x48;  // instance header, GUIDs inline
inline constexpr uint32_t kSystemHeaderSize = 0x20;
inline constexpr uint32_t kCompactHeaderSize = 0x18;
inline constexpr uint32_t kPerfInfoHeaderSize = 0x10;
inline constexpr uint32_t kEventHeaderSize = 0x50;
inline constexpr uint32_t kMessageHeaderSize = 0x08;

inline constexpr uint8_t kMarkerFlagsClassic = 0xC0;  // traced GUID + full header

// The header event: a system record (version 2, hook 0) followed by the logfile header and two names.
inline constexpr uint32_t kHeaderEventMarker64 = 0xC0020002;
inline constexpr uint32_t kHeaderEventMarker32 = 0xC0010002;
inline constexpr uint32_t kLogfileHeaderSize64 = 0x118;
inline constexpr uint32_t kLogfileHeaderSize32 = 0x110;

// Offsets inside the logfile header that do not depend on the pointer size.
inline constexpr size_t kLfBufferSize = 0x00;
inline constexpr size_t kLfVersion = 0x04;
inline constexpr size_t kLfProviderVersion = 0x08;
inline constexpr size_t kLfNumberOfProcessors = 0x0C;
inline constexpr size_t kLfEndTime = 0x10;
inline constexpr size_t kLfTimerResolution = 0x18;
inline constexpr size_t kLfMaximumFileSize = 0x1C;
inline constexpr size_t kLfLogFileMode = 0x20;
inline constexpr size_t kLfBuffersWritten = 0x24;
inline constexpr size_t kLfStartBuffers = 0x28;
inline constexpr size_t kLfPointerSize = 0x2C;
inline constexpr size_t kLfEventsLost = 0x30;
inline constexpr size_t kLfCpuSpeedInMHz = 0x34;
inline constexpr size_t kLfLoggerName = 0x38;
inline constexpr size_t kTimeZoneSize = 172;

// Offsets that move with the pointer size.
struct tLogfileLayout {
  uint32_t Size;
  size_t TimeZone;
  size_t BootTime;
  size_t PerfFreq;
  size_t StartTime;
  size_t ReservedFlags;
  size_t BuffersLost;
};
inline constexpr tLogfileLayout kLayout64{kLogfileHeaderSize64, 0x48, 0xF8, 0x100, 0x108, 0x110, 0x114};
inline constexpr tLogfileLayout kLayout32{kLogfileHeaderSize32, 0x40, 0xF0, 0xF8, 0x100, 0x108, 0x10C};

// Clock types (ReservedFlags of the logfile header).
inline constexpr uint32_t kClockQpc = 1;
inline constexpr uint32_t kClockSystemTime = 2;
inline constexpr uint32_t kClockCpuCycles = 3;

// The class of the header event as a consumer receives it: {68fdd900-4a3e-11d1-84f4-0000f80464e3}.
inline constexpr tGuid kEventTraceGuid{0x68fdd900, 0x4a3e, 0x11d1, {0x84, 0xf4, 0x00, 0x00, 0xf8, 0x04, 0x64, 0xe3}};

inline constexpr uint32_t AlignRecord(uint32_t Size) { return (Size + 7u) & ~7u; }

// Little-endian loads and stores; callers check the bounds.
inline uint16_t Load16(const uint8_t* P) {
  return static_cast<uint16_t>(P[0] | (P[1] << 8));
}
inline uint32_t Load32(const uint8_t* P) {
  return static_cast<uint32_t>(P[0]) | (static_cast<uint32_t>(P[1]) << 8) |
         (static_cast<uint32_t>(P[2]) << 16) | (static_cast<uint32_t>(P[3]) << 24);
}
inline uint64_t Load64(const uint8_t* P) {
  return static_cast<uint64_t>(Load32(P)) | (static_cast<uint64_t>(Load32(P + 4)) << 32);
}
inline tGuid LoadGuid(const uint8_t* P) {
  tGuid G;
  G.Data1 = Load32(P);
  G.Data2 = Load16(P + 4);
  G.Data3 = Load16(P + 6);
  std::memcpy(G.Data4, P + 8, 8);
  return G;
}
inline void Store16(uint8_t* P, uint16_t V) {
  P[0] = static_cast<uint8_t>(V);
  P[1] = static_cast<uint8_t>(V >> 8);
}
inline void Store32(uint8_t* P, uint32_t V) {
  for (int I = 0; I < 4; ++I) P[I] = static_cast<uint8_t>(V >> (8 * I));
}
inline void Store64(uint8_t* P, uint64_t V) {
  Store32(P, static_cast<uint32_t>(V));
  Store32(P + 4, static_cast<uint32_t>(V >> 32));
}
inline void StoreGuid(uint8_t* P, const tGuid& G) {
  Store32(P, G.Data1);
  Store16(P + 4, G.Data2);
  Store16(P + 6, G.Data3);
  std::memcpy(P + 8, G.Data4, 8);
}

}  // namespace lw::etl
