#include "platform/etw/etl/Reader.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/etw/Etw.h"
#include "platform/etw/etl/Format.h"
#include "platform/etw/etl/Path.h"

namespace lw::etl {

// ---- sources -----------------------------------------------------------------------------------------

const uint8_t* tMemorySource::Read(uint64_t Offset, size_t Length, uint8_t* /*Scratch*/) {
  if (Offset > bytes_.size() || Length > bytes_.size() - Offset) return nullptr;
  return bytes_.data() + Offset;
}

std::unique_ptr<tFileSource> tFileSource::Open(const std::string& Path, uint32_t& Status) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path p = PathFromText(Path);
  const fs::file_status st = fs::status(p, ec);
  if (!fs::exists(st)) {
    Status = etw::ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  if (fs::is_directory(st)) {
    Status = etw::ERROR_ACCESS_DENIED;
    return nullptr;
  }
  auto source = std::unique_ptr<tFileSource>(new tFileSource());
  // Reads are whole buffers or buffer headers at known offsets; the stream's own buffering only adds
  // a copy.
  source->file_.rdbuf()->pubsetbuf(nullptr, 0);
  source->file_.open(p, std::ios::in | std::ios::binary);
  if (!source->file_.is_open()) {
    Status = etw::ERROR_ACCESS_DENIED;
    return nullptr;
  }
  source->file_.seekg(0, std::ios::end);
  const std::streamoff end = source->file_.tellg();
  source->file_.seekg(0);
  if (end < 0) {
    Status = etw::ERROR_ACCESS_DENIED;
    return nullptr;
  }
  source->size_ = static_cast<uint64_t>(end);
  Status = 0;
  return source;
}

const uint8_t* tFileSource::Read(uint64_t Offset, size_t Length, uint8_t* Scratch) {
  if (Offset > size_ || Length > size_ - Offset) return nullptr;
  file_.clear();
  file_.seekg(static_cast<std::streamoff>(Offset));
  file_.read(reinterpret_cast<char*>(Scratch), static_cast<std::streamsize>(Length));
  if (!file_ || static_cast<size_t>(file_.gcount()) != Length) {
    file_.clear();
    return nullptr;
  }
  return Scratch;
}

// ---- names -------------------------------------------------------------------------------------------

const char* RecordKindName(tRecordKind Kind) {
  switch (Kind) {
    case tRecordKind::HeaderEvent: return "header";
    case tRecordKind::Classic: return "classic";
    case tRecordKind::Instance: return "instance";
    case tRecordKind::System: return "system";
    case tRecordKind::Compact: return "compact";
    case tRecordKind::PerfInfo: return "perfinfo";
    case tRecordKind::EventHeader: return "event-header";
    case tRecordKind::Message: return "message";
    case tRecordKind::Error: return "error";
  }
  return "?";
}

std::string HeaderTypeName(uint8_t HeaderType) {
  switch (HeaderType) {
    case kHdrSystem32: return "System32";
    case kHdrSystem64: return "System64";
    case kHdrCompact32: return "Compact32";
    case kHdrCompact64: return "Compact64";
    case kHdrFull32: return "Full32";
    case kHdrInstance32: return "Instance32";
    case kHdrError: return "Error";
    case kHdrMessage: return "Message";
    case kHdrPerfInfo32: return "PerfInfo32";
    case kHdrPerfInfo64: return "PerfInfo64";
    case kHdrEventHeader32: return "EventHeader32";
    case kHdrEventHeader64: return "EventHeader64";
    case kHdrFull64: return "Full64";
    case kHdrInstance64: return "Instance64";
    default: break;
  }
  static const char kHex[] = "0123456789ABCDEF";
  std::string s = "0x";
  s += kHex[HeaderType >> 4];
  s += kHex[HeaderType & 15];
  return s;
}

// ---- header buffer -----------------------------------------------------------------------------------

namespace {

// A NUL-terminated UTF-16LE text inside [At, End); At moves past the terminator (or to End).
std::u16string readWide(const uint8_t* Base, size_t& At, size_t End) {
  std::u16string out;
  while (At + 2 <= End) {
    const uint16_t ch = Load16(Base + At);
    At += 2;
    if (ch == 0) return out;
    out.push_back(static_cast<char16_t>(ch));
  }
  At = End;
  return out;
}

}  // namespace

uint32_t ParseHeaderBuffer(std::span<const uint8_t> Bytes, tLogHeader& Out) {
  if (Bytes.size() < kBufferHeaderSize) return etw::ERROR_INVALID_DATA;
  const uint8_t* b = Bytes.data();
  const uint32_t bufferSize = Load32(b + kBufOffBufferSize);
  if (bufferSize < kMinBufferSize || bufferSize > kMaxBufferSize) return etw::ERROR_INVALID_DATA;
  const size_t limit = std::min<size_t>(Bytes.size(), bufferSize);
  const uint32_t saved = Load32(b + kBufOffSavedOffset);
  if (saved < kBufferHeaderSize + kSystemHeaderSize || saved > limit) return etw::ERROR_INVALID_DATA;

  const uint8_t* e = b + kBufferHeaderSize;
  const uint32_t marker = Load32(e);
  const uint8_t type = e[2];
  if ((e[3] & 0x80) == 0 || (type != kHdrSystem64 && type != kHdrSystem32) || Load16(e + 6) != 0)
    return etw::ERROR_INVALID_DATA;
  (void)marker;
  const bool x64 = type == kHdrSystem64;
  const tLogfileLayout& lay = x64 ? kLayout64 : kLayout32;
  const uint32_t eventSize = Load16(e + 4);
  if (eventSize < kSystemHeaderSize + lay.Size || kBufferHeaderSize + eventSize > saved)
    return etw::ERROR_INVALID_DATA;

  const uint8_t* h = e + kSystemHeaderSize;
  tLogHeader r;
  r.BufferSize = Load32(h + kLfBufferSize);
  if (r.BufferSize != bufferSize) return etw::ERROR_INVALID_DATA;
  r.Version = Load32(h + kLfVersion);
  r.ProviderVersion = Load32(h + kLfProviderVersion);
  r.NumberOfProcessors = Load32(h + kLfNumberOfProcessors);
  r.EndTime = Load64(h + kLfEndTime);
  r.TimerResolution = Load32(h + kLfTimerResolution);
  r.MaximumFileSize = Load32(h + kLfMaximumFileSize);
  r.LogFileMode = Load32(h + kLfLogFileMode);
  r.BuffersWritten = Load32(h + kLfBuffersWritten);
  r.StartBuffers = Load32(h + kLfStartBuffers);
  r.PointerSize = Load32(h + kLfPointerSize);
  r.EventsLost = Load32(h + kLfEventsLost);
  r.CpuSpeedInMHz = Load32(h + kLfCpuSpeedInMHz);
  r.BootTime = Load64(h + lay.BootTime);
  r.PerfFreq = static_cast<int64_t>(Load64(h + lay.PerfFreq));
  r.StartTime = Load64(h + lay.StartTime);
  r.ReservedFlags = Load32(h + lay.ReservedFlags);
  r.BuffersLost = Load32(h + lay.BuffersLost);
  r.Is32Bit = !x64;
  r.ThreadId = Load32(e + 0x08);
  r.ProcessId = Load32(e + 0x0C);
  r.StartRaw = Load64(e + 0x10);
  size_t at = kBufferHeaderSize + kSystemHeaderSize + lay.Size;
  const size_t end = kBufferHeaderSize + eventSize;
  r.LoggerName = readWide(b, at, end);
  r.LogFileName = readWide(b, at, end);
  Out = std::move(r);
  return 0;
}

// ---- one buffer --------------------------------------------------------------------------------------

tBufferCursor::tBufferCursor(std::span<const uint8_t> Buffer, uint32_t BufferSize, const tClock& Clock,
                             uint64_t FileOffset)
    : data_(Buffer.data()), fileOffset_(FileOffset), clock_(&Clock) {
  if (BufferSize < kBufferHeaderSize || Buffer.size() < BufferSize) return;
  if (Load32(data_ + kBufOffBufferSize) != BufferSize) return;
  const uint32_t saved = Load32(data_ + kBufOffSavedOffset);
  if (saved < kBufferHeaderSize || saved > BufferSize) return;
  sequence_ = Load64(data_ + kBufOffSequence);
  timeStamp_ = Load64(data_ + kBufOffTimeStamp);
  flags_ = Load16(data_ + kBufOffFlags);
  processor_ = (flags_ & kBufferFlagProcIndex) != 0 ? Load16(data_ + kBufOffProcessor)
                                                    : data_[kBufOffProcessor];
  loggerId_ = Load16(data_ + kBufOffLoggerId);
  pos_ = kBufferHeaderSize;
  end_ = saved;
  valid_ = true;
}

bool tBufferCursor::Next(tRecord& Out) {
  if (!valid_ || pos_ + 4 > end_) return false;
  const uint8_t* r = data_ + pos_;
  if (Load32(r) == 0xFFFFFFFFu) {
    pos_ = end_;
    return false;
  }
  const uint8_t type = r[2];
  const uint8_t flags = r[3];
  uint32_t headerSize = 0;
  uint32_t size = 0;
  tRecordKind kind;
  const uint32_t room = end_ - pos_;
  auto sizeAt4 = [&]() -> bool {
    if (room < 8) return false;
    size = Load16(r + 4);
    return true;
  };
  bool ok = (flags & 0x80) != 0;
  if (ok) {
    switch (type) {
      case kHdrSystem32:
      case kHdrSystem64:
        kind = tRecordKind::System;
        headerSize = kSystemHeaderSize;
        ok = sizeAt4();
        break;
      case kHdrCompact32:
      case kHdrCompact64:
        kind = tRecordKind::Compact;
        headerSize = kCompactHeaderSize;
        ok = sizeAt4();
        break;
      case kHdrPerfInfo32:
      case kHdrPerfInfo64: {
        kind = tRecordKind::PerfInfo;
        const uint16_t v = Load16(r);
        headerSize = kPerfInfoHeaderSize + ((v & 0x8000) != 0 ? 8u : 0u) + 8u * ((v >> 8) & 7u);
        ok = sizeAt4();
        break;
      }
      case kHdrFull32:
      case kHdrFull64:
        kind = tRecordKind::Classic;
        headerSize = kFullHeaderSize;
        size = Load16(r);
        break;
      case kHdrInstance32:
      case kHdrInstance64:
        kind = tRecordKind::Instance;
        headerSize = kInstanceHeaderSize;
        size = Load16(r);
        break;
      case kHdrEventHeader32:
      case kHdrEventHeader64:
        kind = tRecordKind::EventHeader;
        headerSize = kEventHeaderSize;
        size = Load16(r);
        break;
      case kHdrMessage:
        kind = tRecordKind::Message;
        headerSize = kMessageHeaderSize;
        size = Load16(r);
        break;
      case kHdrError:
        kind = tRecordKind::Error;
        headerSize = kMessageHeaderSize;
        size = Load16(r);
        break;
      default:
        ok = false;
        break;
    }
  }
  if (!ok || size < headerSize || size > room) {
    bad_ = true;
    pos_ = end_;
    return false;
  }

  Out = tRecord{};
  Out.FileOffset = fileOffset_ + pos_;
  Out.BufferSequence = sequence_;
  Out.Kind = kind;
  Out.HeaderType = type;
  Out.MarkerFlags = flags;
  Out.Size = size;
  Out.ProcessorIndex = processor_;
  Out.LoggerId = loggerId_;
  Out.Payload = std::span<const uint8_t>(r + headerSize, size - headerSize);
  switch (kind) {
    case tRecordKind::Classic:
    case tRecordKind::Instance:
    case tRecordKind::EventHeader:
      Out.ThreadId = Load32(r + 0x08);
      Out.ProcessId = Load32(r + 0x0C);
      Out.HasTime = true;
      Out.RawTime = Load64(r + 0x10);
      Out.HasGuid = true;
      Out.Guid = LoadGuid(r + 0x18);
      if (kind == tRecordKind::EventHeader) {
        Out.Version = r[0x2A];
        Out.Level = r[0x2C];
        Out.Type = r[0x2D];
      } else {
        Out.Type = r[0x04];
        Out.Level = r[0x05];
        Out.Version = Load16(r + 0x06);
        Out.KernelTime = Load32(r + 0x28);
        Out.UserTime = Load32(r + 0x2C);
      }
      if (kind == tRecordKind::Instance) {
        Out.InstanceId = Load32(r + 0x30);
        Out.ParentInstanceId = Load32(r + 0x34);
        Out.ParentGuid = LoadGuid(r + 0x38);
      }
      break;
    case tRecordKind::System:
    case tRecordKind::Compact:
      Out.ThreadId = Load32(r + 0x08);
      Out.ProcessId = Load32(r + 0x0C);
      Out.HasTime = true;
      Out.RawTime = Load64(r + 0x10);
      if (kind == tRecordKind::System) {
        Out.KernelTime = Load32(r + 0x18);
        Out.UserTime = Load32(r + 0x1C);
        // The header event: hook 0 at the start of the header buffer.
        if (fileOffset_ == 0 && sequence_ == 0 && pos_ == kBufferHeaderSize && Load16(r + 6) == 0) {
          Out.Kind = tRecordKind::HeaderEvent;
          Out.HasGuid = true;
          Out.Guid = kEventTraceGuid;
        }
      }
      break;
    case tRecordKind::PerfInfo:
      Out.HasTime = true;
      Out.RawTime = Load64(r + 0x08);
      break;
    default:
      break;
  }
  if (Out.HasTime) Out.Time = clock_->ToFileTime(Out.RawTime);
  const uint32_t step = AlignRecord(size);
  pos_ = step > room ? end_ : pos_ + step;
  return true;
}

// ---- the file ----------------------------------------------------------------------------------------

struct tEtlReader::tSlot {
  uint64_t Offset;
  uint64_t Sequence;
};

struct tEtlReader::tStream {
  uint16_t Processor = 0;
  std::vector<tSlot> Slots;
  size_t NextSlot = 0;
  std::vector<uint8_t> Storage;
  tBufferCursor Cursor;
  bool HasCursor = false;
  bool HasPending = false;
  uint64_t Key = 0;  // time of the pending record (records without a time keep the previous one)
  tRecord Pending;
};

tEtlReader::tEtlReader() = default;
tEtlReader::~tEtlReader() = default;

uint32_t tEtlReader::Open(const std::string& Path) {
  uint32_t status = 0;
  std::unique_ptr<tFileSource> source = tFileSource::Open(Path, status);
  if (!source) return status;
  return Open(std::move(source));
}

uint32_t tEtlReader::Open(std::unique_ptr<tByteSource> Source) {
  source_.reset();
  streams_.clear();
  indexed_ = false;
  last_ = nullptr;
  if (!Source) return etw::ERROR_INVALID_PARAMETER;
  uint8_t head[kBufferHeaderSize];
  const uint8_t* p = Source->Read(0, kBufferHeaderSize, head);
  if (p == nullptr) return etw::ERROR_INVALID_DATA;
  const uint32_t bufferSize = Load32(p + kBufOffBufferSize);
  if (bufferSize < kMinBufferSize || bufferSize > kMaxBufferSize || bufferSize > Source->Size())
    return etw::ERROR_INVALID_DATA;
  auto first = std::make_unique<tStream>();
  first->Storage.resize(bufferSize);
  p = Source->Read(0, bufferSize, first->Storage.data());
  if (p == nullptr) return etw::ERROR_INVALID_DATA;
  tLogHeader header;
  const uint32_t status = ParseHeaderBuffer(std::span<const uint8_t>(p, bufferSize), header);
  if (status != 0) return status;

  header_ = std::move(header);
  clock_ = tClock(header_.ReservedFlags, header_.PerfFreq, header_.CpuSpeedInMHz,
                  tFileTime{header_.StartTime}, header_.StartRaw);
  const uint32_t eventSize = Load16(p + kBufferHeaderSize + 4);
  headerPayload_.assign(p + kBufferHeaderSize + kSystemHeaderSize, p + kBufferHeaderSize + eventSize);
  source_ = std::move(Source);
  return 0;
}

void tEtlReader::Rewind() {
  indexed_ = false;
  streams_.clear();
  last_ = nullptr;
}

void tEtlReader::buildIndex() {
  indexed_ = true;
  stats_ = tReadStats{};
  streams_.clear();
  last_ = nullptr;
  active_ = 0;
  if (!source_) return;
  const uint32_t bufferSize = header_.BufferSize;
  const uint64_t size = source_->Size();
  const uint64_t slots = (size + bufferSize - 1) / bufferSize;
  stats_.BufferSlots = slots;

  // Stream 0: the header buffer, walked first.
  auto head = std::make_unique<tStream>();
  head->Slots.push_back(tSlot{0, 0});
  streams_.push_back(std::move(head));

  std::vector<std::unique_ptr<tStream>> data;
  uint8_t scratch[kBufferHeaderSize];
  for (uint64_t i = 1; i < slots; ++i) {
    const uint64_t offset = i * bufferSize;
    if (offset + bufferSize > size) {
      ++stats_.BuffersSkipped;  // cut short
      continue;
    }
    const uint8_t* b = source_->Read(offset, kBufferHeaderSize, scratch);
    if (b == nullptr) {
      ++stats_.BuffersSkipped;
      continue;
    }
    const bool allFill = std::all_of(b, b + kBufferHeaderSize, [](uint8_t v) { return v == 0xFF; }) ||
                         std::all_of(b, b + kBufferHeaderSize, [](uint8_t v) { return v == 0; });
    if (allFill) {
      ++stats_.BuffersUnused;
      continue;
    }
    const uint32_t saved = Load32(b + kBufOffSavedOffset);
    if (Load32(b + kBufOffBufferSize) != bufferSize || saved < kBufferHeaderSize || saved > bufferSize) {
      ++stats_.BuffersSkipped;
      continue;
    }
    const uint16_t flags = Load16(b + kBufOffFlags);
    if ((flags & kBufferFlagCompressed) != 0) {
      ++stats_.BuffersCompressed;
      continue;
    }
    if (Load16(b + kBufOffType) == kBufferTypeEmptyMarker) {
      ++stats_.BuffersUnused;
      continue;
    }
    const uint16_t processor =
        (flags & kBufferFlagProcIndex) != 0 ? Load16(b + kBufOffProcessor) : b[kBufOffProcessor];
    auto it = std::find_if(data.begin(), data.end(),
                           [&](const std::unique_ptr<tStream>& s) { return s->Processor == processor; });
    if (it == data.end()) {
      data.push_back(std::make_unique<tStream>());
      data.back()->Processor = processor;
      it = data.end() - 1;
    }
    (*it)->Slots.push_back(tSlot{offset, Load64(b + kBufOffSequence)});
  }
  std::sort(data.begin(), data.end(), [](const std::unique_ptr<tStream>& a, const std::unique_ptr<tStream>& b) {
    return a->Processor < b->Processor;
  });
  for (auto& s : data) {
    std::stable_sort(s->Slots.begin(), s->Slots.end(),
                     [](const tSlot& a, const tSlot& b) { return a.Sequence < b.Sequence; });
    streams_.push_back(std::move(s));
  }
  for (auto& s : streams_)
    if (!source_->Stable()) s->Storage.resize(bufferSize);
  // Every data stream holds its first record ready for the merge.
  for (size_t i = 1; i < streams_.size(); ++i) advance(*streams_[i]);
}

bool tEtlReader::loadNext(tStream& S) {
  const uint32_t bufferSize = header_.BufferSize;
  while (S.NextSlot < S.Slots.size()) {
    const tSlot& slot = S.Slots[S.NextSlot++];
    const uint8_t* b = source_->Read(slot.Offset, bufferSize, S.Storage.data());
    if (b == nullptr) {
      ++stats_.BuffersSkipped;
      continue;
    }
    S.Cursor = tBufferCursor(std::span<const uint8_t>(b, bufferSize), bufferSize, clock_, slot.Offset);
    if (!S.Cursor.Valid()) {
      ++stats_.BuffersSkipped;
      continue;
    }
    S.HasCursor = true;
    return true;
  }
  return false;
}

bool tEtlReader::advance(tStream& S) {
  for (;;) {
    if (S.HasCursor) {
      if (S.Cursor.Next(S.Pending)) {
        ++stats_.RecordsByType[S.Pending.HeaderType];
        if (S.Pending.Kind == tRecordKind::HeaderEvent) ++stats_.HeaderEvents;
        if (S.Pending.Delivered()) ++stats_.EventsDelivered;
        if (S.Pending.HasTime) S.Key = S.Pending.RawTime;
        S.HasPending = true;
        return true;
      }
      if (S.Cursor.BadRecord()) ++stats_.BadRecords;
      ++stats_.BuffersRead;
      S.HasCursor = false;
    }
    if (!loadNext(S)) {
      S.HasPending = false;
      return false;
    }
  }
}

bool tEtlReader::Next(tRecord& Out) {
  if (!indexed_) buildIndex();
  if (streams_.empty()) return false;
  if (last_ != nullptr) {
    advance(*last_);
    last_ = nullptr;
  }
  if (active_ == 0) {
    tStream& head = *streams_[0];
    if (!head.HasPending && !head.HasCursor && head.NextSlot == 0) advance(head);
    if (head.HasPending) {
      Out = head.Pending;
      last_ = &head;
      return true;
    }
    active_ = 1;
  }
  tStream* best = nullptr;
  for (size_t i = 1; i < streams_.size(); ++i) {
    tStream* s = streams_[i].get();
    if (s->HasPending && (best == nullptr || s->Key < best->Key)) best = s;
  }
  if (best == nullptr) return false;
  Out = best->Pending;
  last_ = best;
  return true;
}

bool tEtlReader::NextEvent(tRecord& Out) {
  while (Next(Out))
    if (Out.Delivered()) return true;
  return false;
}

}  // namespace lw::etl
