#include "platform/etw/etl/Writer.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/etw/Etw.h"
#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Path.h"
#include "platform/os/CodePage.h"

namespace lw::etl {

namespace {

// Names in the header are UTF-16. Our texts are UTF-8 on POSIX and ANSI on Windows: take valid UTF-8 as
// such, anything else as ANSI.
bool decodeUtf8(const std::string& Text, std::u16string& Out) {
  Out.clear();
  size_t i = 0;
  while (i < Text.size()) {
    const auto c = static_cast<uint8_t>(Text[i]);
    uint32_t cp = 0;
    size_t extra = 0;
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0) {
      cp = c & 0x1Fu;
      extra = 1;
    } else if ((c & 0xF0) == 0xE0) {
      cp = c & 0x0Fu;
      extra = 2;
    } else if ((c & 0xF8) == 0xF0) {
      cp = c & 0x07u;
      extra = 3;
    } else {
      return false;
    }
    if (extra > 0 && i + extra >= Text.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      const auto n = static_cast<uint8_t>(Text[i + k]);
      if ((n & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (n & 0x3Fu);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      Out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      Out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      Out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return true;
}

std::u16string toWide(const std::string& Text) {
  std::u16string out;
  if (decodeUtf8(Text, out)) return out;
  return lw::os::AnsiToWide(Text);
}

void putWide(std::vector<uint8_t>& Bytes, size_t& Offset, const std::u16string& Text) {
  for (char16_t ch : Text) {
    Store16(&Bytes[Offset], static_cast<uint16_t>(ch));
    Offset += 2;
  }
  Store16(&Bytes[Offset], 0);
  Offset += 2;
}

void initBufferHeader(uint8_t* B, uint32_t BufferSize, uint32_t Saved, uint16_t Processor,
                      uint16_t Flags, uint16_t Type) {
  std::fill(B, B + kBufferHeaderSize, uint8_t{0});
  Store32(B + kBufOffBufferSize, BufferSize);
  Store32(B + kBufOffSavedOffset, Saved);
  Store32(B + kBufOffCurrentOffset, Saved);
  Store16(B + kBufOffProcessor, Processor);
  Store32(B + kBufOffState, kBufferStateFlushed);
  Store32(B + kBufOffOffset, Saved);
  Store16(B + kBufOffFlags, Flags);
  Store16(B + kBufOffType, Type);
}

}  // namespace

// ---- tBufferBuilder ----------------------------------------------------------------------------------

tBufferBuilder::tBufferBuilder(uint32_t BufferSize, uint16_t ProcessorIndex, bool Header32)
    : bytes_(std::clamp(BufferSize, kMinBufferSize, kMaxBufferSize) & ~7u, uint8_t{0xFF}),
      header32_(Header32) {
  initBufferHeader(bytes_.data(), static_cast<uint32_t>(bytes_.size()), kHeaderBytes, ProcessorIndex,
                   kBufferFlagProcIndex, kBufferTypeGeneric);
}

uint32_t tBufferBuilder::RecordSpace(size_t PayloadLength) const {
  return AlignRecord(static_cast<uint32_t>(kFullHeaderSize + PayloadLength));
}

size_t tBufferBuilder::MaxPayload() const {
  const size_t room = bytes_.size() - kHeaderBytes - kFullHeaderSize;
  return std::min<size_t>(room, 0xFFFFu - kFullHeaderSize);
}

bool tBufferBuilder::Append(const tClassicEvent& Event) {
  if (Event.Payload.size() > MaxPayload()) return false;
  const auto size = static_cast<uint32_t>(kFullHeaderSize + Event.Payload.size());
  const uint32_t space = AlignRecord(size);
  if (used_ + space > bytes_.size()) return false;

  uint8_t* r = bytes_.data() + used_;
  Store16(r + 0x00, static_cast<uint16_t>(size));
  r[0x02] = header32_ ? kHdrFull32 : kHdrFull64;
  r[0x03] = kMarkerFlagsClassic;
  r[0x04] = Event.Type;
  r[0x05] = Event.Level;
  Store16(r + 0x06, Event.Version);
  Store32(r + 0x08, Event.ThreadId);
  Store32(r + 0x0C, Event.ProcessId);
  Store64(r + 0x10, Event.TimeStamp);
  StoreGuid(r + 0x18, Event.ClassGuid);
  Store32(r + 0x28, Event.KernelTime);
  Store32(r + 0x2C, Event.UserTime);
  if (!Event.Payload.empty()) std::memcpy(r + kFullHeaderSize, Event.Payload.data(), Event.Payload.size());
  std::fill(r + size, r + space, uint8_t{0});

  used_ += space;
  ++events_;
  lastTime_ = std::max(lastTime_, Event.TimeStamp);
  uint8_t* b = bytes_.data();
  Store32(b + kBufOffSavedOffset, used_);
  Store32(b + kBufOffCurrentOffset, used_);
  Store32(b + kBufOffOffset, used_);
  return true;
}

void tBufferBuilder::Reset() {
  std::fill(bytes_.begin() + kHeaderBytes, bytes_.begin() + used_, uint8_t{0xFF});
  used_ = kHeaderBytes;
  events_ = 0;
  lastTime_ = 0;
  uint8_t* b = bytes_.data();
  Store32(b + kBufOffSavedOffset, used_);
  Store32(b + kBufOffCurrentOffset, used_);
  Store32(b + kBufOffOffset, used_);
  Store64(b + kBufOffSequence, 0);
  Store64(b + kBufOffTimeStamp, 0);
}

void tBufferBuilder::Stamp(std::span<uint8_t> Buffer, uint64_t Sequence, uint64_t FlushTimeStamp) {
  if (Buffer.size() < kBufferHeaderSize) return;
  Store64(Buffer.data() + kBufOffSequence, Sequence);
  Store64(Buffer.data() + kBufOffTimeStamp, FlushTimeStamp);
}

// ---- tEtlWriter --------------------------------------------------------------------------------------

tEtlWriter::tEtlWriter() = default;

tEtlWriter::~tEtlWriter() {
  if (open_) Close();
}

uint32_t tEtlWriter::Open(const std::string& Path, const tWriterOptions& Options) {
  if (open_) return etw::ERROR_INVALID_PARAMETER;
  if (Options.BufferSize < kMinBufferSize || Options.BufferSize > kMaxBufferSize ||
      Options.BufferSize % 8 != 0 || (Options.PointerSize != 4 && Options.PointerSize != 8) ||
      Options.NumberOfProcessors == 0 || Options.ProcessorIndex >= Options.NumberOfProcessors)
    return etw::ERROR_INVALID_PARAMETER;

  options_ = Options;
  path_ = Path;
  clock_ = tClock::Qpc10MHz(Options.StartTime, Options.StartRaw);
  // The header buffer must hold the header event with both names.
  const std::u16string logger = toWide(Options.LoggerName);
  const std::u16string file = toWide(Path);
  const size_t lfSize = Options.PointerSize == 8 ? kLogfileHeaderSize64 : kLogfileHeaderSize32;
  const size_t eventSize = kSystemHeaderSize + lfSize + 2 * (logger.size() + file.size() + 2);
  if (kBufferHeaderSize + eventSize > Options.BufferSize || eventSize > 0xFFFF)
    return etw::ERROR_INVALID_PARAMETER;

  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p = PathFromText(Path);
  if (p.has_parent_path() && !fs::is_directory(p.parent_path(), ec)) return kErrorPathNotFound;
  if (fs::is_directory(p, ec)) return etw::ERROR_ACCESS_DENIED;
  file_.open(p, std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc);
  if (!file_.is_open()) return etw::ERROR_ACCESS_DENIED;

  slots_ = 0;
  if (Options.MaximumFileSize != 0)
    slots_ = std::max<uint64_t>(2, uint64_t{Options.MaximumFileSize} * 1048576 / Options.BufferSize);
  nextSequence_ = 1;
  nextSlot_ = 1;
  buffersWritten_ = 1;
  buffersLost_ = 0;
  eventsWritten_ = 0;
  latestRaw_ = Options.StartRaw;
  current_ = std::make_unique<tBufferBuilder>(Options.BufferSize, Options.ProcessorIndex,
                                              Options.PointerSize == 4);
  scratch_.assign(Options.BufferSize, 0);
  open_ = true;
  const uint32_t status = writeHeader(tFileTime{0});
  if (status != 0) {
    file_.close();
    open_ = false;
  }
  return status;
}

std::vector<uint8_t> tEtlWriter::headerBuffer(tFileTime EndTime) const {
  const bool x64 = options_.PointerSize == 8;
  const tLogfileLayout& lay = x64 ? kLayout64 : kLayout32;
  const std::u16string logger = toWide(options_.LoggerName);
  const std::u16string file = toWide(path_);
  const auto eventSize =
      static_cast<uint32_t>(kSystemHeaderSize + lay.Size + 2 * (logger.size() + file.size() + 2));

  std::vector<uint8_t> b(options_.BufferSize, uint8_t{0xFF});
  const uint32_t saved = kBufferHeaderSize + AlignRecord(eventSize);
  initBufferHeader(b.data(), options_.BufferSize, saved, 0,
                   kBufferFlagFlushMarker | kBufferFlagProcIndex, kBufferTypeHeader);
  Store16(b.data() + kBufOffLoggerId, options_.LoggerId);
  std::fill(b.begin() + kBufferHeaderSize, b.begin() + saved, uint8_t{0});

  uint8_t* e = b.data() + kBufferHeaderSize;
  Store32(e + 0x00, x64 ? kHeaderEventMarker64 : kHeaderEventMarker32);
  Store16(e + 0x04, static_cast<uint16_t>(eventSize));
  Store16(e + 0x06, 0);  // hook id
  Store32(e + 0x08, options_.ThreadId);
  Store32(e + 0x0C, options_.ProcessId);
  Store64(e + 0x10, options_.StartRaw);

  uint8_t* h = e + kSystemHeaderSize;
  Store32(h + kLfBufferSize, options_.BufferSize);
  Store32(h + kLfVersion, options_.Version);
  Store32(h + kLfProviderVersion, options_.ProviderVersion);
  Store32(h + kLfNumberOfProcessors, options_.NumberOfProcessors);
  Store64(h + kLfEndTime, EndTime.Value);
  Store32(h + kLfTimerResolution, options_.TimerResolution);
  Store32(h + kLfMaximumFileSize, options_.MaximumFileSize);
  Store32(h + kLfLogFileMode, options_.LogFileMode);
  Store32(h + kLfBuffersWritten, static_cast<uint32_t>(std::min<uint64_t>(buffersWritten_, 0xFFFFFFFFu)));
  Store32(h + kLfStartBuffers, 1);
  Store32(h + kLfPointerSize, options_.PointerSize);
  Store32(h + kLfEventsLost, 0);
  Store32(h + kLfCpuSpeedInMHz, options_.CpuSpeedInMHz);
  // The two name pointers and the time zone (UTC: all zero) stay zero.
  const uint64_t boot = options_.StartTime.Value >= options_.StartRaw
                            ? options_.StartTime.Value - options_.StartRaw
                            : 0;
  Store64(h + lay.BootTime, boot);
  Store64(h + lay.PerfFreq, static_cast<uint64_t>(kQpcFrequency));
  Store64(h + lay.StartTime, options_.StartTime.Value);
  Store32(h + lay.ReservedFlags, kClockQpc);
  Store32(h + lay.BuffersLost, buffersLost_);

  size_t at = kBufferHeaderSize + kSystemHeaderSize + lay.Size;
  putWide(b, at, logger);
  putWide(b, at, file);
  return b;
}

uint32_t tEtlWriter::writeHeader(tFileTime EndTime) {
  const std::vector<uint8_t> b = headerBuffer(EndTime);
  file_.clear();
  file_.seekp(0);
  file_.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  if (!file_) {
    file_.clear();
    return etw::ERROR_DISK_FULL;
  }
  return 0;
}

uint32_t tEtlWriter::writeSlot(std::span<const uint8_t> Buffer, uint64_t FlushTimeStamp) {
  if (slots_ != 0 && nextSlot_ >= slots_) {
    if ((options_.LogFileMode & etw::EVENT_TRACE_FILE_MODE_CIRCULAR) == 0) {
      ++buffersLost_;
      return 0;
    }
    nextSlot_ = 1;
  }
  std::copy(Buffer.begin(), Buffer.end(), scratch_.begin());
  tBufferBuilder::Stamp(scratch_, nextSequence_, FlushTimeStamp);
  Store16(scratch_.data() + kBufOffLoggerId, options_.LoggerId);

  file_.clear();
  file_.seekp(static_cast<std::streamoff>(nextSlot_ * options_.BufferSize));
  file_.write(reinterpret_cast<const char*>(scratch_.data()), static_cast<std::streamsize>(scratch_.size()));
  if (!file_) {
    file_.clear();
    return etw::ERROR_DISK_FULL;
  }
  ++nextSequence_;
  ++nextSlot_;
  ++buffersWritten_;
  latestRaw_ = std::max(latestRaw_, FlushTimeStamp);
  return 0;
}

uint32_t tEtlWriter::AppendEvent(const tClassicEvent& Event) {
  if (!open_) return etw::ERROR_INVALID_PARAMETER;
  tClassicEvent e = Event;
  if (e.TimeIsFileTime) {
    e.TimeStamp = clock_.ToRaw(tFileTime{Event.TimeStamp});
    e.TimeIsFileTime = false;
  }
  if (e.Payload.size() > current_->MaxPayload()) return etw::ERROR_BAD_LENGTH;
  if (!current_->Append(e)) {
    const uint32_t status = writeSlot(current_->Bytes(), current_->LastTimeStamp());
    if (status != 0) return status;
    current_->Reset();
    current_->Append(e);
  }
  ++eventsWritten_;
  latestRaw_ = std::max(latestRaw_, e.TimeStamp);
  return 0;
}

uint32_t tEtlWriter::WriteBuffer(std::span<const uint8_t> Buffer, uint64_t FlushTimeStamp) {
  if (!open_ || Buffer.size() != options_.BufferSize) return etw::ERROR_INVALID_PARAMETER;
  const uint32_t saved = Load32(Buffer.data() + kBufOffSavedOffset);
  if (Load32(Buffer.data() + kBufOffBufferSize) != options_.BufferSize || saved < kBufferHeaderSize ||
      saved > options_.BufferSize)
    return etw::ERROR_INVALID_PARAMETER;
  if (!current_->Empty()) {
    const uint32_t status = writeSlot(current_->Bytes(), current_->LastTimeStamp());
    if (status != 0) return status;
    current_->Reset();
  }
  return writeSlot(Buffer, FlushTimeStamp);
}

uint32_t tEtlWriter::Flush(uint64_t FlushTimeStamp) {
  if (!open_) return etw::ERROR_INVALID_PARAMETER;
  if (!current_->Empty()) {
    const uint32_t status =
        writeSlot(current_->Bytes(), std::max(FlushTimeStamp, current_->LastTimeStamp()));
    if (status != 0) return status;
    current_->Reset();
  }
  file_.flush();
  if (!file_) {
    file_.clear();
    return etw::ERROR_DISK_FULL;
  }
  return 0;
}

uint32_t tEtlWriter::Flush() {
  if (!open_) return etw::ERROR_INVALID_PARAMETER;
  return Flush(current_->LastTimeStamp());
}

uint32_t tEtlWriter::Close(tFileTime EndTime) {
  if (!open_) return etw::ERROR_INVALID_PARAMETER;
  uint32_t status = Flush();
  const uint32_t headerStatus = writeHeader(EndTime);
  if (status == 0) status = headerStatus;
  file_.flush();
  if (!file_ && status == 0) status = etw::ERROR_DISK_FULL;
  file_.close();
  open_ = false;
  current_.reset();
  return status;
}

uint32_t tEtlWriter::Close() {
  if (!open_) return etw::ERROR_INVALID_PARAMETER;
  const uint64_t latest = std::max(latestRaw_, current_->LastTimeStamp());
  return Close(clock_.ToFileTime(latest));
}

}  // namespace lw::etl
