// The messages between the trace API of a process and a session host (logwarden-traced).
//
// Transport: a Unix stream socket per session. Every message is a frame: a 32-bit little-endian length
// L (1 <= L <= kMaxFrame) followed by L bytes, the first of which is the message type. All numbers are
// little-endian; texts are a 16-bit length followed by that many bytes (no terminator).
//
// Requests (client to host), each on a connection of its own unless noted:
//   Query                          -> Reply(status, session)
//   Control(code, session)         -> Reply(status, session)        flush, stop, update
//   Enable(enable, flags, level, guid) -> Reply(status, session)
//   Consume                        -> ConsumeReply, then Buffer ... End   (a real-time consumer)
//   Register(guid)                 -> Registered(handle), then Notify whenever that guid's enable state
//                                     changes; the same connection then carries
//   Event(classic header + payload) and Lost(count), which get no answer.
//
// Decoding is bounds-checked throughout: every decoder takes a byte span, returns a status and reads
// nothing outside the span. Encoders build complete frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/etw/Etw.h"
#include "platform/os/Types.h"

namespace lw::etw::wire {

inline constexpr uint32_t kMaxFrame = (1u << 20) + 4096;  // a 1 MiB buffer and its header
inline constexpr size_t kFrameHeader = 4;
inline constexpr size_t kMaxText = 1023;  // names are refused from 1024 bytes on, as the blocks hold them
inline constexpr size_t kEventHeaderSize = sizeof(EVENT_TRACE_HEADER);

enum class tMsg : uint8_t {
  Query = 1,
  Control = 2,
  Enable = 3,
  Consume = 4,
  Register = 5,
  Event = 6,
  Lost = 7,
  Reply = 0x81,
  Buffer = 0x82,
  End = 0x83,
  Notify = 0x84,
  Registered = 0x85,
  ConsumeReply = 0x86,
};

enum class tDecode {
  Ok,
  Truncated,  // the bytes end inside a field
  Malformed,  // a field holds a value the message cannot have
  TooLarge,   // a frame length above kMaxFrame (or 0)
};

// A session's properties as they travel: what a start asks for, an update changes and a query reports.
struct tSession {
  uint32_t BufferSize = 0;  // KB
  uint32_t MinimumBuffers = 0;
  uint32_t MaximumBuffers = 0;
  uint32_t MaximumFileSize = 0;  // MB
  uint32_t LogFileMode = 0;
  uint32_t FlushTimer = 0;
  uint32_t EnableFlags = 0;
  int32_t AgeLimit = 0;
  uint32_t NumberOfBuffers = 0;
  uint32_t FreeBuffers = 0;
  uint32_t EventsLost = 0;
  uint32_t BuffersWritten = 0;
  uint32_t LogBuffersLost = 0;
  uint32_t RealTimeBuffersLost = 0;
  uint32_t ClientContext = 0;
  uint32_t WnodeFlags = 0;
  uint64_t Handle = 0;
  uint64_t LoggerThreadId = 0;
  tGuid Guid;
  bool HasLogFileName = false;  // an update without a file name keeps the file
  std::string LoggerName;
  std::string LogFileName;
};

struct tEnable {
  uint32_t Enable = 0;
  uint32_t Flags = 0;
  uint8_t Level = 0;
  tGuid Guid;
};

// One decoded request. Event points into the decoded frame.
struct tRequest {
  tMsg Type = tMsg::Query;
  uint32_t ControlCode = 0;
  tSession Session;
  tEnable Enable;
  tGuid Guid;                        // Register
  std::span<const uint8_t> Event;    // Event: the 48-byte header followed by the payload
  uint32_t LostCount = 0;            // Lost
};

// What a consumer learns when it joins.
struct tConsumeInfo {
  uint32_t Status = 0;
  uint64_t StartTime = 0;  // UTC file time of StartRaw
  uint64_t StartRaw = 0;   // raw 10 MHz tick
  uint32_t BufferSize = 0;  // bytes
  uint32_t LogFileMode = 0;
  uint32_t MaximumFileSize = 0;
  uint32_t BuffersWritten = 0;
  uint32_t EventsLost = 0;
};

struct tNotify {
  uint32_t Enabled = 0;
  uint32_t Flags = 0;
  uint8_t Level = 0;
  tGuid Guid;
  uint64_t Handle = 0;
};

// One decoded host message. Buffer points into the decoded frame.
struct tHostMessage {
  tMsg Type = tMsg::Reply;
  uint32_t Status = 0;
  tSession Session;                    // Reply
  bool HasSession = false;
  tConsumeInfo Consume;                // ConsumeReply
  std::span<const uint8_t> Buffer;     // Buffer: one log-file buffer
  tNotify Notify;                      // Notify
  uint64_t Handle = 0;                 // Registered
};

// Builds one frame; Finish patches the length.
class tFrameWriter {
 public:
  explicit tFrameWriter(tMsg Type);
  void U8(uint8_t V) { bytes_.push_back(V); }
  void U16(uint16_t V);
  void U32(uint32_t V);
  void U64(uint64_t V);
  void Guid(const tGuid& V);
  void Text(const std::string& V);  // cut to kMaxText bytes
  void Bytes(std::span<const uint8_t> V);
  void Session(const tSession& V);
  std::vector<uint8_t> Finish();

 private:
  std::vector<uint8_t> bytes_;
};

// Looks for one complete frame at the start of In. Ok: Frame is the frame without its length prefix and
// Consumed the bytes it took; Truncated: more bytes are needed; TooLarge: the stream is unusable.
tDecode SplitFrame(std::span<const uint8_t> In, std::span<const uint8_t>& Frame, size_t& Consumed);

// Frame: type byte and body, as SplitFrame gives it.
// The one request of the hot path, without the rest of tRequest: Event gets the header and payload.
tDecode DecodeEventFrame(std::span<const uint8_t> Frame, std::span<const uint8_t>& Event);
tDecode DecodeRequest(std::span<const uint8_t> Frame, tRequest& Out);
tDecode DecodeHostMessage(std::span<const uint8_t> Frame, tHostMessage& Out);
// The session a start asks for, as the host gets it on its command line (hex of a Control frame body).
tDecode DecodeSessionHex(const std::string& Hex, tSession& Out);
std::string EncodeSessionHex(const tSession& Session);

// Walks the classic full-header records of one log-file buffer (as the host's buffers hold them):
// calls Visit(header, payload) for each, in order. Records of other kinds are skipped by their size.
// Malformed when a record's size runs past the buffer's saved offset or the buffer header is damaged.
template <typename F>
tDecode WalkBuffer(std::span<const uint8_t> Buffer, F&& Visit);

// Non-template part of WalkBuffer: the record at Offset, if any. Next: where the following one starts.
struct tRecord {
  bool Classic = false;
  EVENT_TRACE_HEADER Header{};
  std::span<const uint8_t> Payload;
};
tDecode BufferRecordsEnd(std::span<const uint8_t> Buffer, size_t& End);
tDecode NextRecord(std::span<const uint8_t> Buffer, size_t End, size_t& Offset, tRecord& Out);

template <typename F>
tDecode WalkBuffer(std::span<const uint8_t> Buffer, F&& Visit) {
  size_t end = 0;
  tDecode status = BufferRecordsEnd(Buffer, end);
  if (status != tDecode::Ok) return status;
  size_t offset = 0x48;
  while (offset < end) {
    tRecord record;
    status = NextRecord(Buffer, end, offset, record);
    if (status != tDecode::Ok) return status;
    if (record.Classic) Visit(record.Header, record.Payload);
  }
  return tDecode::Ok;
}

// Properties block <-> wire form. FromProperties reads the names at the block's offsets, bounded by
// Wnode.BufferSize; 87 when an offset or name is out of the block. ToProperties writes them back at the
// caller's offsets; 234 (more data) when a name does not fit its field.
uint32_t FromProperties(const EVENT_TRACE_PROPERTIES* Properties, tSession& Out);
uint32_t ToProperties(const tSession& Session, EVENT_TRACE_PROPERTIES* Properties);

}  // namespace lw::etw::wire
