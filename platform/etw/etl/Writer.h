// Writing trace log files in the platform's own format.
//
// Contract
// - tEtlWriter::Open creates (or truncates) the file and writes the header buffer at once: buffer 0,
//   type 4, flags 0x0021, sequence 0, holding the header event (logfile header, session name, file
//   path). Close rewrites that buffer with the end time and the buffer count, so a file is readable at
//   any moment, and complete after Close.
// - Events: AppendEvent packs one classic event (64-bit full header, or the 32-bit form for a 32-bit
//   log, class GUID inline) into the current buffer; when it does not fit, the buffer is written first.
//   Time stamps are raw ticks of the log's clock (QPC at 10 MHz) or UTC file times; FileTimeToRaw and
//   RawToFileTime convert with the relation fixed at Open (StartRaw <-> StartTime).
// - Pre-built buffers: a host that packs its own buffers (tBufferBuilder, for example to hand the same
//   bytes to real-time consumers) passes each one to WriteBuffer with its flush time. The writer stamps
//   its own sequence number and that flush time into its copy and writes it; the partly filled buffer of
//   AppendEvent, if any, goes first, so sequence numbers follow the order of the calls.
// - Data buffers: type 0, flag 0x20 (processor index), state 3, sequence from 1 upwards, flush time no
//   earlier than their last event, fill 0xFF after the saved offset.
// - Size limit (MaximumFileSize MB, 0 = none): in circular mode the next buffer after the last slot goes
//   to slot 1, just after the header buffer, and overwrites the oldest data; in sequential mode further
//   buffers are dropped and counted in BuffersLost (the log stops growing, as a session's file does).
// - Errors are Win32 status codes: 0 success, 3 folder missing, 5 no access, 24 an event too large for
//   one buffer, 87 bad options or no open file, 112 write failure (disk full or I/O error). After a
//   write failure the writer stays open and later calls try again.
// - Not thread-safe: one thread at a time (the session host serialises its writes). No compression, no
//   per-processor buffers of its own (the buffer's processor index comes from the options or the
//   builder).
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/etw/etl/Clock.h"
#include "platform/os/Types.h"

namespace lw::etl {

inline constexpr uint32_t kDefaultBufferSize = 16384;
inline constexpr int64_t kQpcFrequency = 10000000;

// Win32 status codes the writer returns beyond those of platform/etw/Etw.h.
inline constexpr uint32_t kErrorPathNotFound = 3;

// One classic event as a provider traces it.
struct tClassicEvent {
  tGuid ClassGuid;
  uint8_t Type = 0;
  uint8_t Level = 0;
  uint16_t Version = 0;
  uint32_t ProcessId = 0;
  uint32_t ThreadId = 0;
  // Raw clock ticks, or a UTC file time when TimeIsFileTime (converted by the writer; tBufferBuilder
  // takes raw ticks only).
  uint64_t TimeStamp = 0;
  bool TimeIsFileTime = false;
  uint32_t KernelTime = 0;
  uint32_t UserTime = 0;
  std::span<const uint8_t> Payload;
};

// Packs classic events into one buffer of the on-disk format. The bytes are complete at every moment
// (header fields, 0xFF fill); sequence number and flush time are set by Stamp or by the writer.
class tBufferBuilder {
 public:
  explicit tBufferBuilder(uint32_t BufferSize = kDefaultBufferSize, uint16_t ProcessorIndex = 0,
                          bool Header32 = false);

  // Room a record with this payload takes (header plus payload, 8-byte aligned).
  uint32_t RecordSpace(size_t PayloadLength) const;
  // Largest payload that fits an empty buffer (and the 16-bit record size).
  size_t MaxPayload() const;
  // Appends with Event.TimeStamp as raw ticks. False, with the buffer unchanged, when it does not fit.
  bool Append(const tClassicEvent& Event);

  bool Empty() const { return used_ == kHeaderBytes; }
  uint32_t Used() const { return used_; }  // the saved offset
  uint32_t EventCount() const { return events_; }
  uint64_t LastTimeStamp() const { return lastTime_; }
  std::span<const uint8_t> Bytes() const { return bytes_; }
  // Empties the buffer (header kept, records gone, fill restored).
  void Reset();
  // Writes sequence number and flush time into a buffer of this format.
  static void Stamp(std::span<uint8_t> Buffer, uint64_t Sequence, uint64_t FlushTimeStamp);

 private:
  static constexpr uint32_t kHeaderBytes = 0x48;
  std::vector<uint8_t> bytes_;
  uint32_t used_ = kHeaderBytes;
  uint32_t events_ = 0;
  uint64_t lastTime_ = 0;
  bool header32_ = false;
};

struct tWriterOptions {
  std::string LoggerName;  // session name; UTF-8 (or, where not valid UTF-8, ANSI) text
  uint32_t BufferSize = kDefaultBufferSize;  // bytes
  uint32_t MaximumFileSize = 10;  // MB; 0 = no limit
  uint32_t LogFileMode = 0x01000002;  // circular, paged memory
  uint32_t NumberOfProcessors = 1;
  uint16_t ProcessorIndex = 0;  // of the buffers AppendEvent fills
  uint16_t LoggerId = 1;
  uint32_t CpuSpeedInMHz = 2000;
  uint32_t PointerSize = 8;  // 4 writes a 32-bit log (32-bit header event and event headers)
  uint32_t Version = 0x0501000A;  // OS version as major, minor, sub, sub-minor bytes
  uint32_t ProviderVersion = 19041;  // OS build number
  uint32_t TimerResolution = 156250;
  tFileTime StartTime;  // UTC time of StartRaw
  uint64_t StartRaw = 0;  // raw 10 MHz tick of the start (the header event's time stamp)
  uint32_t ProcessId = 0;  // of the header event
  uint32_t ThreadId = 0;
};

class tEtlWriter {
 public:
  tEtlWriter();
  ~tEtlWriter();  // closes with the last event's time as end time
  tEtlWriter(const tEtlWriter&) = delete;
  tEtlWriter& operator=(const tEtlWriter&) = delete;

  uint32_t Open(const std::string& Path, const tWriterOptions& Options);
  bool IsOpen() const { return open_; }

  uint32_t AppendEvent(const tClassicEvent& Event);
  uint32_t WriteBuffer(std::span<const uint8_t> Buffer, uint64_t FlushTimeStamp);
  // Writes the partly filled buffer (if any) with this flush time and flushes the stream to the OS.
  uint32_t Flush(uint64_t FlushTimeStamp);
  uint32_t Flush();  // flush time: the last event's time stamp
  uint32_t Close(tFileTime EndTime);
  uint32_t Close();  // end time: the latest time stamp written (or the start time)

  uint64_t FileTimeToRaw(tFileTime Time) const { return clock_.ToRaw(Time); }
  tFileTime RawToFileTime(uint64_t Raw) const { return clock_.ToFileTime(Raw); }
  const tClock& Clock() const { return clock_; }

  uint64_t BuffersWritten() const { return buffersWritten_; }  // including the header buffer
  uint32_t BuffersLost() const { return buffersLost_; }
  uint64_t EventsWritten() const { return eventsWritten_; }
  // Buffers the file holds at most, header buffer included (0: no limit).
  uint64_t SlotCount() const { return slots_; }

 private:
  uint32_t writeSlot(std::span<const uint8_t> Buffer, uint64_t FlushTimeStamp);
  uint32_t writeHeader(tFileTime EndTime);
  std::vector<uint8_t> headerBuffer(tFileTime EndTime) const;

  std::fstream file_;
  bool open_ = false;
  std::string path_;
  tWriterOptions options_;
  tClock clock_;
  std::unique_ptr<tBufferBuilder> current_;
  std::vector<uint8_t> scratch_;
  uint64_t nextSequence_ = 1;
  uint64_t nextSlot_ = 1;
  uint64_t slots_ = 0;
  uint64_t buffersWritten_ = 1;
  uint32_t buffersLost_ = 0;
  uint64_t eventsWritten_ = 0;
  uint64_t latestRaw_ = 0;
};

}  // namespace lw::etl
