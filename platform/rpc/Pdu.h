// Connection-oriented PDUs: the 16-byte common header and the bodies of the PDU types the runtime speaks.
//
// Decoders take the whole PDU (one fragment, as framed by its frag_length) as a byte span, honour the
// sender's integer representation, bounds-check every field and return false for anything that does not
// fit; views into the PDU (stub data) stay valid as long as the span. Encoders write little-endian and fill
// in frag_length themselves. No state, thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Rpc.h"

namespace lw::rpc::pdu {

enum PType : uint8_t {
  kRequest = 0,
  kResponse = 2,
  kFault = 3,
  kBind = 11,
  kBindAck = 12,
  kBindNak = 13,
  kAlterContext = 14,
  kAlterContextResp = 15,
  kAuth3 = 16,
  kShutdown = 17,
  kCoCancel = 18,
  kOrphaned = 19,
};

inline constexpr uint8_t kFlagFirst = 0x01;
inline constexpr uint8_t kFlagLast = 0x02;
inline constexpr uint8_t kFlagPendingCancel = 0x04;
inline constexpr uint8_t kFlagConcMpx = 0x10;
inline constexpr uint8_t kFlagDidNotExecute = 0x20;
inline constexpr uint8_t kFlagMaybe = 0x40;
inline constexpr uint8_t kFlagObjectUuid = 0x80;

inline constexpr size_t kHeaderSize = 16;
inline constexpr size_t kRequestHeaderSize = 24;
inline constexpr size_t kResponseHeaderSize = 24;
inline constexpr size_t kFaultSize = 32;
// Fragment sizes a server grants: the client's smaller value, clamped to this range, rounded down to 8.
inline constexpr uint16_t kMinFragment = 2048;
inline constexpr uint16_t kMaxFragment = 5840;

// Fault statuses of the wire.
inline constexpr uint32_t nca_s_op_rng_error = 0x1C010002;
inline constexpr uint32_t nca_s_unk_if = 0x1C010003;
inline constexpr uint32_t nca_s_proto_error = 0x1C01000B;
inline constexpr uint32_t nca_s_server_too_busy = 0x1C010014;
inline constexpr uint32_t nca_s_fault_unspec = 0x1C000012;
inline constexpr uint32_t nca_s_fault_int_div_by_zero = 0x1C000001;
inline constexpr uint32_t nca_s_fault_cancel = 0x1C00000D;

// Bind results and reasons.
inline constexpr uint16_t kResultAccept = 0;
inline constexpr uint16_t kResultUserRejection = 1;
inline constexpr uint16_t kResultProviderRejection = 2;
inline constexpr uint16_t kResultNegotiateAck = 3;
inline constexpr uint16_t kReasonAbstractSyntaxNotSupported = 1;
inline constexpr uint16_t kReasonTransferSyntaxesNotSupported = 2;
// Bind-time features (reason field of a negotiate_ack).
inline constexpr uint16_t kFeatureSecurityContextMultiplexing = 0x01;
inline constexpr uint16_t kFeatureKeepConnectionOnOrphan = 0x02;
// bind_nak reasons.
inline constexpr uint16_t kNakNotSpecified = 0;
inline constexpr uint16_t kNakProtocolVersionNotSupported = 4;
inline constexpr uint16_t kNakAuthenticationTypeNotRecognized = 8;

extern const RPC_SYNTAX_IDENTIFIER kNdr64TransferSyntax;
// True for the bind-time feature negotiation syntax 6cb71c2c-9812-4540-xxxx-xxxxxxxxxxxx; Features gets
// the bitmask carried in bytes 8 and 9 of the UUID.
bool isBindTimeFeatureSyntax(const RPC_SYNTAX_IDENTIFIER& Syntax, uint16_t& Features);
RPC_SYNTAX_IDENTIFIER bindTimeFeatureSyntax(uint16_t Features);

struct Header {
  uint8_t Version = 5;
  uint8_t MinorVersion = 0;
  uint8_t PType = 0;
  uint8_t Flags = kFlagFirst | kFlagLast;
  uint8_t Drep[4] = {0x10, 0, 0, 0};
  uint16_t FragLength = 0;
  uint16_t AuthLength = 0;
  uint32_t CallId = 0;

  bool littleEndian() const { return (Drep[0] & 0xF0) == 0x10; }
};

// Reads the common header from the first 16 bytes. False when fewer bytes are there or the integer
// representation is neither little- nor big-endian. Version and lengths are checked by the caller.
bool decodeHeader(std::span<const uint8_t> Bytes, Header& Out);

struct ContextElement {
  uint16_t ContextId = 0;
  RPC_SYNTAX_IDENTIFIER Abstract;
  std::vector<RPC_SYNTAX_IDENTIFIER> Transfers;
};
// bind and alter_context.
struct Bind {
  uint16_t MaxXmitFrag = kMaxFragment;
  uint16_t MaxRecvFrag = kMaxFragment;
  uint32_t AssocGroup = 0;
  std::vector<ContextElement> Contexts;
};
struct ContextResult {
  uint16_t Result = 0;
  uint16_t Reason = 0;
  RPC_SYNTAX_IDENTIFIER Transfer;
};
// bind_ack and alter_context_resp.
struct BindAck {
  uint16_t MaxXmitFrag = 0;
  uint16_t MaxRecvFrag = 0;
  uint32_t AssocGroup = 0;
  std::string SecondaryAddress;  // without its terminator; empty: length 0 on the wire
  std::vector<ContextResult> Results;
};
struct BindNak {
  uint16_t Reason = 0;
  std::vector<std::pair<uint8_t, uint8_t>> Versions;
};
struct Request {
  uint32_t AllocHint = 0;
  uint16_t ContextId = 0;
  uint16_t Opnum = 0;
  std::optional<UUID> Object;
  std::span<const uint8_t> Stub;
};
struct Response {
  uint32_t AllocHint = 0;
  uint16_t ContextId = 0;
  uint8_t CancelCount = 0;
  std::span<const uint8_t> Stub;
};
struct Fault {
  uint32_t AllocHint = 0;
  uint16_t ContextId = 0;
  uint8_t CancelCount = 0;
  uint8_t Flags = 0;
  uint32_t Status = 0;
};

// Each decoder expects Pdu to be exactly one fragment (Header.FragLength bytes) and its header decoded.
// An authentication trailer (auth_length > 0) is cut off the body (and must fit).
bool decodeBind(const Header& H, std::span<const uint8_t> Pdu, Bind& Out);
bool decodeBindAck(const Header& H, std::span<const uint8_t> Pdu, BindAck& Out);
bool decodeBindNak(const Header& H, std::span<const uint8_t> Pdu, BindNak& Out);
bool decodeRequest(const Header& H, std::span<const uint8_t> Pdu, Request& Out);
bool decodeResponse(const Header& H, std::span<const uint8_t> Pdu, Response& Out);
bool decodeFault(const Header& H, std::span<const uint8_t> Pdu, Fault& Out);

// Header's PType, Flags, CallId are used; FragLength and AuthLength are set.
std::vector<uint8_t> encodeBind(Header H, const Bind& Body);
std::vector<uint8_t> encodeBindAck(Header H, const BindAck& Body);
std::vector<uint8_t> encodeBindNak(Header H, const BindNak& Body);
std::vector<uint8_t> encodeRequest(Header H, const Request& Body);
std::vector<uint8_t> encodeResponse(Header H, const Response& Body);
std::vector<uint8_t> encodeFault(Header H, const Fault& Body);
// A PDU of a type without a body (shutdown, co_cancel, orphaned).
std::vector<uint8_t> encodeEmpty(Header H);

// Splits stub data into request (or response) fragments of at most MaxFrag bytes each: every fragment but
// the last carries a multiple of 8 stub bytes; alloc_hint is the stub bytes left from that fragment on.
// Each fragment is passed to Sink as one PDU.
template <typename SinkT>
void fragmentStub(Header H, uint16_t ContextId, uint16_t Opnum, bool IsRequest, std::span<const uint8_t> Stub,
                  uint16_t MaxFrag, SinkT&& Sink);

// The fragment granted for a client's max_xmit/max_recv pair.
uint16_t negotiateFragment(uint16_t ClientXmit, uint16_t ClientRecv);

// ---- template implementation ----
template <typename SinkT>
void fragmentStub(Header H, uint16_t ContextId, uint16_t Opnum, bool IsRequest, std::span<const uint8_t> Stub,
                  uint16_t MaxFrag, SinkT&& Sink) {
  const size_t room = ((static_cast<size_t>(MaxFrag) - kRequestHeaderSize) / 8) * 8;
  size_t offset = 0;
  bool first = true;
  do {
    size_t chunk = Stub.size() - offset;
    bool last = chunk <= room;
    if (!last) chunk = room;
    H.Flags = static_cast<uint8_t>((H.Flags & ~(kFlagFirst | kFlagLast)) | (first ? kFlagFirst : 0) |
                                   (last ? kFlagLast : 0));
    auto part = Stub.subspan(offset, chunk);
    auto hint = static_cast<uint32_t>(Stub.size() - offset);
    if (IsRequest) {
      H.PType = kRequest;
      Request r;
      r.AllocHint = hint;
      r.ContextId = ContextId;
      r.Opnum = Opnum;
      r.Stub = part;
      Sink(encodeRequest(H, r));
    } else {
      H.PType = kResponse;
      Response r;
      r.AllocHint = hint;
      r.ContextId = ContextId;
      r.Stub = part;
      Sink(encodeResponse(H, r));
    }
    offset += chunk;
    first = false;
  } while (offset < Stub.size());
}

}  // namespace lw::rpc::pdu
