// Reading trace log files.
//
// tEtlReader walks a log file buffer by buffer and hands out its records in the order a consumer of the
// platform receives them: the header buffer first (the header event leading), then the data buffers,
// ordered by sequence number within each processor and merged across processors by time stamp. That
// order also puts the buffers of a circular file that wrapped oldest first.
//
// Bad input has a defined result: a file without a valid header buffer is refused at Open (status 13);
// a data buffer whose size, saved offset or flags are impossible is skipped and counted; a record whose
// size is impossible or runs past its buffer's saved offset ends that buffer and is counted. Every read
// is bounds-checked against the buffer it lies in.
//
// The reader streams: it holds the header, a 32-byte index entry per buffer and one buffer per processor,
// never the whole file. Sources are a file (standard C++ streams) or bytes in memory.
//
// Not thread-safe; one reader per thread. A record's Payload points into the reader's storage (or into
// the memory source) and stays valid until the next call of Next/NextEvent.
#pragma once

#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/etw/etl/Clock.h"
#include "platform/os/Types.h"

namespace lw::etl {

// Random-access bytes.
class tByteSource {
 public:
  virtual ~tByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Length bytes at Offset: a pointer into the source's own memory, or into Scratch after copying them
  // there (Scratch holds at least Length bytes). Null when the range cannot be read in full.
  virtual const uint8_t* Read(uint64_t Offset, size_t Length, uint8_t* Scratch) = 0;
  // True when pointers returned by Read stay valid for the source's lifetime.
  virtual bool Stable() const = 0;
};

class tMemorySource final : public tByteSource {
 public:
  explicit tMemorySource(std::span<const uint8_t> Bytes) : bytes_(Bytes) {}
  uint64_t Size() const override { return bytes_.size(); }
  const uint8_t* Read(uint64_t Offset, size_t Length, uint8_t* Scratch) override;
  bool Stable() const override { return true; }

 private:
  std::span<const uint8_t> bytes_;
};

class tFileSource final : public tByteSource {
 public:
  // Status: 0, 2 (missing), 5 (no access, or a folder).
  static std::unique_ptr<tFileSource> Open(const std::string& Path, uint32_t& Status);
  uint64_t Size() const override { return size_; }
  const uint8_t* Read(uint64_t Offset, size_t Length, uint8_t* Scratch) override;
  bool Stable() const override { return false; }

 private:
  std::ifstream file_;
  uint64_t size_ = 0;
};

enum class tRecordKind : uint8_t {
  HeaderEvent,  // the header event (system record, hook 0, at the start of buffer 0)
  Classic,      // full header, 32 or 64 bit
  Instance,     // instance header, 32 or 64 bit
  System,
  Compact,
  PerfInfo,
  EventHeader,
  Message,
  Error,
};
const char* RecordKindName(tRecordKind Kind);
// "Full64", "System32", ...; "0xNN" for a type without a name.
std::string HeaderTypeName(uint8_t HeaderType);

struct tRecord {
  uint64_t FileOffset = 0;
  uint64_t BufferSequence = 0;
  tRecordKind Kind = tRecordKind::Classic;
  uint8_t HeaderType = 0;
  uint8_t MarkerFlags = 0;
  uint32_t Size = 0;  // as the record header gives it, header included
  bool HasGuid = false;
  tGuid Guid;  // event class; provider for event-header records; the header event's class
  uint8_t Type = 0;
  uint8_t Level = 0;
  uint16_t Version = 0;
  uint32_t ProcessId = 0;
  uint32_t ThreadId = 0;
  bool HasTime = false;
  uint64_t RawTime = 0;
  tFileTime Time;  // UTC
  uint32_t KernelTime = 0;
  uint32_t UserTime = 0;
  uint32_t InstanceId = 0;
  uint32_t ParentInstanceId = 0;
  tGuid ParentGuid;
  uint16_t ProcessorIndex = 0;
  uint16_t LoggerId = 0;
  std::span<const uint8_t> Payload;

  // What a classic consumer receives: the header event, classic and instance events.
  bool Delivered() const {
    return Kind == tRecordKind::HeaderEvent || Kind == tRecordKind::Classic ||
           Kind == tRecordKind::Instance;
  }
};

// The logfile header of the header event, with the fields around it.
struct tLogHeader {
  uint32_t BufferSize = 0;
  uint32_t Version = 0;
  uint32_t ProviderVersion = 0;
  uint32_t NumberOfProcessors = 0;
  uint64_t EndTime = 0;
  uint32_t TimerResolution = 0;
  uint32_t MaximumFileSize = 0;
  uint32_t LogFileMode = 0;
  uint32_t BuffersWritten = 0;
  uint32_t StartBuffers = 0;
  uint32_t PointerSize = 0;
  uint32_t EventsLost = 0;
  uint32_t CpuSpeedInMHz = 0;
  uint64_t BootTime = 0;
  int64_t PerfFreq = 0;
  uint64_t StartTime = 0;
  uint32_t ReservedFlags = 0;  // clock type
  uint32_t BuffersLost = 0;
  bool Is32Bit = false;  // the header event's form
  uint64_t StartRaw = 0;  // the header event's raw time stamp
  uint32_t ProcessId = 0;  // of the header event
  uint32_t ThreadId = 0;
  std::u16string LoggerName;
  std::u16string LogFileName;
};

// Decodes the header buffer (its first BufferSize bytes, or all of a shorter span). Status 0 or 13.
uint32_t ParseHeaderBuffer(std::span<const uint8_t> Bytes, tLogHeader& Out);

struct tReadStats {
  uint64_t BufferSlots = 0;      // BufferSize-sized slots in the file (a partial one at the end counts)
  uint64_t BuffersRead = 0;      // buffers walked, header buffer included
  uint64_t BuffersSkipped = 0;   // impossible sizes, offsets or sequence, unreadable, partial
  uint64_t BuffersCompressed = 0;  // compressed buffers (not supported), skipped
  uint64_t BuffersUnused = 0;    // slots never written (sequence 0, all fill) or empty markers
  uint64_t BadRecords = 0;       // records that ended their buffer early
  uint64_t EventsDelivered = 0;  // records of the kinds a classic consumer receives
  std::array<uint64_t, 256> RecordsByType{};  // every record walked, by header type
  uint64_t HeaderEvents = 0;     // included in RecordsByType[System32/64]
};

// Walks the records of one buffer. Used by the reader for each buffer and usable on its own for buffers
// that arrive by other ways than a file.
class tBufferCursor {
 public:
  tBufferCursor() = default;
  // Buffer: the bytes of one buffer; BufferSize: the size the log declares. Valid() tells whether the
  // buffer header is possible.
  tBufferCursor(std::span<const uint8_t> Buffer, uint32_t BufferSize, const tClock& Clock,
                uint64_t FileOffset);
  bool Valid() const { return valid_; }
  // Next record; false at the end of the valid data. BadRecord() then says whether a bad record ended it.
  bool Next(tRecord& Out);
  bool BadRecord() const { return bad_; }
  uint64_t Sequence() const { return sequence_; }
  uint64_t TimeStamp() const { return timeStamp_; }
  uint16_t Processor() const { return processor_; }
  uint16_t Flags() const { return flags_; }

 private:
  const uint8_t* data_ = nullptr;
  uint32_t pos_ = 0;
  uint32_t end_ = 0;
  uint64_t fileOffset_ = 0;
  uint64_t sequence_ = 0;
  uint64_t timeStamp_ = 0;
  uint16_t processor_ = 0;
  uint16_t loggerId_ = 0;
  uint16_t flags_ = 0;
  bool valid_ = false;
  bool bad_ = false;
  const tClock* clock_ = nullptr;
};

class tEtlReader {
 public:
  tEtlReader();
  ~tEtlReader();
  tEtlReader(const tEtlReader&) = delete;
  tEtlReader& operator=(const tEtlReader&) = delete;

  // Status: 0; 2 or 5 from the file; 13 when the bytes are not a trace log.
  uint32_t Open(const std::string& Path);
  uint32_t Open(std::unique_ptr<tByteSource> Source);

  const tLogHeader& Header() const { return header_; }
  const tClock& Clock() const { return clock_; }
  // The header event's payload (logfile header and names) as a consumer receives it.
  std::span<const uint8_t> HeaderPayload() const { return headerPayload_; }

  // Every record of every kind, in delivery order. False at the end.
  bool Next(tRecord& Out);
  // Only the records a classic consumer receives; the others are counted and passed over.
  bool NextEvent(tRecord& Out);
  // Starts the walk again from the header event; the statistics restart too.
  void Rewind();

  const tReadStats& Stats() const { return stats_; }

 private:
  struct tSlot;
  struct tStream;
  void buildIndex();
  bool loadNext(tStream& S);
  bool advance(tStream& S);

  std::unique_ptr<tByteSource> source_;
  tLogHeader header_;
  tClock clock_;
  std::vector<uint8_t> headerPayload_;
  tReadStats stats_;
  bool indexed_ = false;
  std::vector<std::unique_ptr<tStream>> streams_;  // [0] is the header buffer
  size_t active_ = 0;  // streams_[0] until the header buffer is done
  tStream* last_ = nullptr;  // stream whose pending record was handed out last
};

}  // namespace lw::etl
