#include "platform/etw/posix/Wire.h"

#include <algorithm>
#include <cstring>

namespace lw::etw::wire {
namespace {

// Bounds-checked little-endian reads over one span; the first failed read sticks.
class tReader {
 public:
  explicit tReader(std::span<const uint8_t> In) : in_(In) {}

  bool Ok() const { return ok_; }
  bool AtEnd() const { return pos_ == in_.size(); }
  size_t Left() const { return in_.size() - pos_; }

  uint8_t U8() {
    uint8_t v = 0;
    Take(&v, 1);
    return v;
  }
  uint16_t U16() {
    uint8_t b[2] = {};
    Take(b, 2);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
  }
  uint32_t U32() {
    uint8_t b[4] = {};
    Take(b, 4);
    return static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
           (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
  }
  uint64_t U64() {
    uint64_t lo = U32();
    uint64_t hi = U32();
    return lo | (hi << 32);
  }
  tGuid Guid() {
    uint8_t b[16] = {};
    Take(b, 16);
    return tGuid::FromBytes(b);
  }
  bool Text(std::string& Out) {
    uint16_t n = U16();
    if (!ok_) return false;
    if (n > kMaxText || n > Left()) {
      if (n > kMaxText) malformed_ = true;
      ok_ = false;
      return false;
    }
    Out.assign(reinterpret_cast<const char*>(in_.data() + pos_), n);
    if (Out.find('\0') != std::string::npos) {
      malformed_ = true;
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  std::span<const uint8_t> Rest() {
    auto rest = in_.subspan(pos_);
    pos_ = in_.size();
    return rest;
  }
  void Fail(bool Malformed) {
    ok_ = false;
    malformed_ = malformed_ || Malformed;
  }
  tDecode Status() const {
    if (ok_) return tDecode::Ok;
    return malformed_ ? tDecode::Malformed : tDecode::Truncated;
  }

 private:
  void Take(uint8_t* Out, size_t N) {
    if (!ok_ || Left() < N) {
      ok_ = false;
      return;
    }
    std::memcpy(Out, in_.data() + pos_, N);
    pos_ += N;
  }

  std::span<const uint8_t> in_;
  size_t pos_ = 0;
  bool ok_ = true;
  bool malformed_ = false;
};

void ReadSession(tReader& R, tSession& S) {
  S.BufferSize = R.U32();
  S.MinimumBuffers = R.U32();
  S.MaximumBuffers = R.U32();
  S.MaximumFileSize = R.U32();
  S.LogFileMode = R.U32();
  S.FlushTimer = R.U32();
  S.EnableFlags = R.U32();
  S.AgeLimit = static_cast<int32_t>(R.U32());
  S.NumberOfBuffers = R.U32();
  S.FreeBuffers = R.U32();
  S.EventsLost = R.U32();
  S.BuffersWritten = R.U32();
  S.LogBuffersLost = R.U32();
  S.RealTimeBuffersLost = R.U32();
  S.ClientContext = R.U32();
  S.WnodeFlags = R.U32();
  S.Handle = R.U64();
  S.LoggerThreadId = R.U64();
  S.Guid = R.Guid();
  uint8_t hasFile = R.U8();
  if (R.Ok() && hasFile > 1) R.Fail(true);
  S.HasLogFileName = hasFile == 1;
  R.Text(S.LoggerName);
  R.Text(S.LogFileName);
}

uint32_t LoadU32(const uint8_t* P) {
  uint32_t v;
  std::memcpy(&v, P, 4);
  return v;
}

// Bytes available to a name field at Offset: up to the next field that starts after it, or the block's end.
size_t FieldCapacity(uint32_t Offset, uint32_t Other, uint32_t BlockSize) {
  uint32_t limit = BlockSize;
  if (Other > Offset && Other < limit) limit = Other;
  return limit - Offset;
}

bool ReadName(const uint8_t* Block, uint32_t BlockSize, uint32_t Offset, std::string& Out) {
  Out.clear();
  if (Offset == 0) return true;
  if (Offset < sizeof(EVENT_TRACE_PROPERTIES) || Offset >= BlockSize) return false;
  const char* p = reinterpret_cast<const char*>(Block + Offset);
  size_t room = BlockSize - Offset;
  const void* nul = std::memchr(p, 0, room);
  if (nul == nullptr) return false;
  size_t n = static_cast<size_t>(static_cast<const char*>(nul) - p);
  if (n > kMaxText) return false;
  Out.assign(p, n);
  return true;
}

}  // namespace

tFrameWriter::tFrameWriter(tMsg Type) {
  bytes_.reserve(64);
  bytes_.resize(4);
  bytes_.push_back(static_cast<uint8_t>(Type));
}

void tFrameWriter::U16(uint16_t V) {
  bytes_.push_back(static_cast<uint8_t>(V));
  bytes_.push_back(static_cast<uint8_t>(V >> 8));
}
void tFrameWriter::U32(uint32_t V) {
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(V >> (8 * i)));
}
void tFrameWriter::U64(uint64_t V) {
  for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<uint8_t>(V >> (8 * i)));
}
void tFrameWriter::Guid(const tGuid& V) {
  uint8_t b[16];
  V.ToBytes(b);
  bytes_.insert(bytes_.end(), b, b + 16);
}
void tFrameWriter::Text(const std::string& V) {
  size_t n = std::min(V.size(), kMaxText);
  U16(static_cast<uint16_t>(n));
  bytes_.insert(bytes_.end(), V.begin(), V.begin() + static_cast<std::ptrdiff_t>(n));
}
void tFrameWriter::Bytes(std::span<const uint8_t> V) { bytes_.insert(bytes_.end(), V.begin(), V.end()); }

void tFrameWriter::Session(const tSession& S) {
  U32(S.BufferSize);
  U32(S.MinimumBuffers);
  U32(S.MaximumBuffers);
  U32(S.MaximumFileSize);
  U32(S.LogFileMode);
  U32(S.FlushTimer);
  U32(S.EnableFlags);
  U32(static_cast<uint32_t>(S.AgeLimit));
  U32(S.NumberOfBuffers);
  U32(S.FreeBuffers);
  U32(S.EventsLost);
  U32(S.BuffersWritten);
  U32(S.LogBuffersLost);
  U32(S.RealTimeBuffersLost);
  U32(S.ClientContext);
  U32(S.WnodeFlags);
  U64(S.Handle);
  U64(S.LoggerThreadId);
  Guid(S.Guid);
  U8(S.HasLogFileName ? 1 : 0);
  Text(S.LoggerName);
  Text(S.LogFileName);
}

std::vector<uint8_t> tFrameWriter::Finish() {
  uint32_t n = static_cast<uint32_t>(bytes_.size() - 4);
  for (int i = 0; i < 4; ++i) bytes_[static_cast<size_t>(i)] = static_cast<uint8_t>(n >> (8 * i));
  return std::move(bytes_);
}

tDecode SplitFrame(std::span<const uint8_t> In, std::span<const uint8_t>& Frame, size_t& Consumed) {
  if (In.size() < kFrameHeader) return tDecode::Truncated;
  uint32_t n = LoadU32(In.data());
  if (n == 0 || n > kMaxFrame) return tDecode::TooLarge;
  if (In.size() - kFrameHeader < n) return tDecode::Truncated;
  Frame = In.subspan(kFrameHeader, n);
  Consumed = kFrameHeader + n;
  return tDecode::Ok;
}

tDecode DecodeEventFrame(std::span<const uint8_t> Frame, std::span<const uint8_t>& Event) {
  if (Frame.empty() || Frame[0] != static_cast<uint8_t>(tMsg::Event)) return tDecode::Malformed;
  auto rest = Frame.subspan(1);
  if (rest.size() < kEventHeaderSize) return tDecode::Truncated;
  uint16_t size = static_cast<uint16_t>(rest[0] | (rest[1] << 8));
  if (size != rest.size()) return tDecode::Malformed;
  Event = rest;
  return tDecode::Ok;
}

tDecode DecodeRequest(std::span<const uint8_t> Frame, tRequest& Out) {
  tReader r(Frame);
  uint8_t type = r.U8();
  if (!r.Ok()) return tDecode::Truncated;
  Out = tRequest{};
  Out.Type = static_cast<tMsg>(type);
  switch (Out.Type) {
    case tMsg::Query:
    case tMsg::Consume:
      break;
    case tMsg::Control:
      Out.ControlCode = r.U32();
      ReadSession(r, Out.Session);
      break;
    case tMsg::Enable:
      Out.Enable.Enable = r.U32();
      Out.Enable.Flags = r.U32();
      Out.Enable.Level = r.U8();
      Out.Enable.Guid = r.Guid();
      break;
    case tMsg::Register:
      Out.Guid = r.Guid();
      break;
    case tMsg::Event:
      return DecodeEventFrame(Frame, Out.Event);
    case tMsg::Lost:
      Out.LostCount = r.U32();
      break;
    default:
      return tDecode::Malformed;
  }
  if (r.Ok() && !r.AtEnd()) r.Fail(true);
  return r.Status();
}

tDecode DecodeHostMessage(std::span<const uint8_t> Frame, tHostMessage& Out) {
  tReader r(Frame);
  uint8_t type = r.U8();
  if (!r.Ok()) return tDecode::Truncated;
  Out = tHostMessage{};
  Out.Type = static_cast<tMsg>(type);
  switch (Out.Type) {
    case tMsg::Reply:
      Out.Status = r.U32();
      if (r.Ok() && !r.AtEnd()) {
        Out.HasSession = true;
        ReadSession(r, Out.Session);
      }
      break;
    case tMsg::ConsumeReply:
      Out.Consume.Status = r.U32();
      Out.Consume.StartTime = r.U64();
      Out.Consume.StartRaw = r.U64();
      Out.Consume.BufferSize = r.U32();
      Out.Consume.LogFileMode = r.U32();
      Out.Consume.MaximumFileSize = r.U32();
      Out.Consume.BuffersWritten = r.U32();
      Out.Consume.EventsLost = r.U32();
      break;
    case tMsg::Buffer:
      Out.Buffer = r.Rest();
      return tDecode::Ok;
    case tMsg::End:
      Out.Status = r.U32();
      break;
    case tMsg::Notify:
      Out.Notify.Enabled = r.U32();
      Out.Notify.Flags = r.U32();
      Out.Notify.Level = r.U8();
      Out.Notify.Guid = r.Guid();
      Out.Notify.Handle = r.U64();
      break;
    case tMsg::Registered:
      Out.Handle = r.U64();
      break;
    default:
      return tDecode::Malformed;
  }
  if (r.Ok() && !r.AtEnd()) r.Fail(true);
  return r.Status();
}

std::string EncodeSessionHex(const tSession& Session) {
  tFrameWriter w(tMsg::Control);
  w.Session(Session);
  auto frame = w.Finish();
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve((frame.size() - 5) * 2);
  for (size_t i = 5; i < frame.size(); ++i) {
    hex.push_back(kDigits[frame[i] >> 4]);
    hex.push_back(kDigits[frame[i] & 15]);
  }
  return hex;
}

tDecode DecodeSessionHex(const std::string& Hex, tSession& Out) {
  if (Hex.size() % 2 != 0 || Hex.size() / 2 > kMaxFrame) return tDecode::Malformed;
  std::vector<uint8_t> bytes(Hex.size() / 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    int v = 0;
    for (size_t k = 0; k < 2; ++k) {
      char c = Hex[2 * i + k];
      int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) return tDecode::Malformed;
      v = v * 16 + d;
    }
    bytes[i] = static_cast<uint8_t>(v);
  }
  tReader r(bytes);
  Out = tSession{};
  ReadSession(r, Out);
  if (r.Ok() && !r.AtEnd()) r.Fail(true);
  return r.Status();
}

tDecode BufferRecordsEnd(std::span<const uint8_t> Buffer, size_t& End) {
  if (Buffer.size() < 0x48) return tDecode::Truncated;
  uint32_t saved = LoadU32(Buffer.data() + 4);
  if (saved < 0x48 || saved > Buffer.size()) return tDecode::Malformed;
  End = saved;
  return tDecode::Ok;
}

tDecode NextRecord(std::span<const uint8_t> Buffer, size_t End, size_t& Offset, tRecord& Out) {
  Out = tRecord{};
  if (End > Buffer.size() || Offset > End) return tDecode::Malformed;
  if (End - Offset < 4) {
    Offset = End;  // alignment tail
    return tDecode::Ok;
  }
  uint32_t marker = LoadU32(Buffer.data() + Offset);
  if (marker == 0xFFFFFFFFu) {
    Offset = End;
    return tDecode::Ok;
  }
  uint8_t kind = static_cast<uint8_t>(marker >> 16);
  size_t size = 0;
  // Classic full-header records carry their size in the first 16 bits; the kinds a host does not write
  // are skipped by the size field their header has.
  switch (kind) {
    case 0x0A: case 0x14: case 0x0B: case 0x15: case 0x12: case 0x13: case 0x0F:
      size = marker & 0xFFFF;
      break;
    case 0x01: case 0x02: case 0x03: case 0x04: case 0x10: case 0x11:
      if (End - Offset < 8) return tDecode::Malformed;
      size = LoadU32(Buffer.data() + Offset + 4) & 0xFFFF;
      break;
    default:
      return tDecode::Malformed;
  }
  if (size < 8 || size > End - Offset) return tDecode::Malformed;
  if (kind == 0x14) {
    if (size < kEventHeaderSize) return tDecode::Malformed;
    Out.Classic = true;
    std::memcpy(&Out.Header, Buffer.data() + Offset, kEventHeaderSize);
    Out.Payload = Buffer.subspan(Offset + kEventHeaderSize, size - kEventHeaderSize);
  }
  size_t next = Offset + ((size + 7) & ~size_t{7});
  Offset = std::min(next, End);
  return tDecode::Ok;
}

uint32_t FromProperties(const EVENT_TRACE_PROPERTIES* P, tSession& Out) {
  Out = tSession{};
  if (P == nullptr) return ERROR_INVALID_PARAMETER;
  uint32_t size = P->Wnode.BufferSize;
  if (size < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
  Out.BufferSize = P->BufferSize;
  Out.MinimumBuffers = P->MinimumBuffers;
  Out.MaximumBuffers = P->MaximumBuffers;
  Out.MaximumFileSize = P->MaximumFileSize;
  Out.LogFileMode = P->LogFileMode;
  Out.FlushTimer = P->FlushTimer;
  Out.EnableFlags = P->EnableFlags;
  Out.AgeLimit = P->AgeLimit;
  Out.ClientContext = P->Wnode.ClientContext;
  Out.WnodeFlags = P->Wnode.Flags;
  Out.Guid = P->Wnode.Guid;
  const auto* block = reinterpret_cast<const uint8_t*>(P);
  if (!ReadName(block, size, P->LoggerNameOffset, Out.LoggerName)) return ERROR_INVALID_PARAMETER;
  if (!ReadName(block, size, P->LogFileNameOffset, Out.LogFileName)) return ERROR_INVALID_PARAMETER;
  Out.HasLogFileName = P->LogFileNameOffset != 0 && !Out.LogFileName.empty();
  return ERROR_SUCCESS;
}

uint32_t ToProperties(const tSession& S, EVENT_TRACE_PROPERTIES* P) {
  if (P == nullptr) return ERROR_INVALID_PARAMETER;
  uint32_t size = P->Wnode.BufferSize;
  if (size < sizeof(EVENT_TRACE_PROPERTIES)) return ERROR_BAD_LENGTH;
  uint32_t nameAt = P->LoggerNameOffset;
  uint32_t fileAt = P->LogFileNameOffset;
  auto fits = [&](uint32_t At, uint32_t Other, const std::string& Text) {
    if (At == 0) return true;
    if (At < sizeof(EVENT_TRACE_PROPERTIES) || At >= size) return false;
    return Text.size() + 1 <= FieldCapacity(At, Other, size);
  };
  bool nameFits = fits(nameAt, fileAt, S.LoggerName);
  bool fileFits = fits(fileAt, nameAt, S.LogFileName);
  P->Wnode.HistoricalContext = S.Handle;
  P->Wnode.Guid = S.Guid;
  P->Wnode.ClientContext = S.ClientContext;
  P->Wnode.Flags = S.WnodeFlags;
  P->BufferSize = S.BufferSize;
  P->MinimumBuffers = S.MinimumBuffers;
  P->MaximumBuffers = S.MaximumBuffers;
  P->MaximumFileSize = S.MaximumFileSize;
  P->LogFileMode = S.LogFileMode;
  P->FlushTimer = S.FlushTimer;
  P->EnableFlags = S.EnableFlags;
  P->AgeLimit = S.AgeLimit;
  P->NumberOfBuffers = S.NumberOfBuffers;
  P->FreeBuffers = S.FreeBuffers;
  P->EventsLost = S.EventsLost;
  P->BuffersWritten = S.BuffersWritten;
  P->LogBuffersLost = S.LogBuffersLost;
  P->RealTimeBuffersLost = S.RealTimeBuffersLost;
  P->LoggerThreadId = S.LoggerThreadId;
  auto* block = reinterpret_cast<char*>(P);
  if (nameAt != 0 && nameFits) std::memcpy(block + nameAt, S.LoggerName.c_str(), S.LoggerName.size() + 1);
  if (fileAt != 0 && fileFits) std::memcpy(block + fileAt, S.LogFileName.c_str(), S.LogFileName.size() + 1);
  if (!nameFits || !fileFits) return ERROR_MORE_DATA;
  return ERROR_SUCCESS;
}

}  // namespace lw::etw::wire
