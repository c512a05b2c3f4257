#include "platform/rpc/Pdu.h"

#include <algorithm>
#include <cstring>

#include "platform/rpc/Ndr.h"

namespace lw::rpc::pdu {

const RPC_SYNTAX_IDENTIFIER kNdr64TransferSyntax = {
    {0x71710533, 0xbeba, 0x4937, {0x83, 0x19, 0xb5, 0xdb, 0xef, 0x9c, 0xcc, 0x36}}, {1, 0}};

bool isBindTimeFeatureSyntax(const RPC_SYNTAX_IDENTIFIER& Syntax, uint16_t& Features) {
  const UUID& g = Syntax.SyntaxGUID;
  if (g.Data1 != 0x6cb71c2c || g.Data2 != 0x9812 || g.Data3 != 0x4540) return false;
  Features = static_cast<uint16_t>(g.Data4[0] | (g.Data4[1] << 8));
  return true;
}

RPC_SYNTAX_IDENTIFIER bindTimeFeatureSyntax(uint16_t Features) {
  RPC_SYNTAX_IDENTIFIER s;
  s.SyntaxGUID.Data1 = 0x6cb71c2c;
  s.SyntaxGUID.Data2 = 0x9812;
  s.SyntaxGUID.Data3 = 0x4540;
  s.SyntaxGUID.Data4[0] = static_cast<uint8_t>(Features & 0xFF);
  s.SyntaxGUID.Data4[1] = static_cast<uint8_t>(Features >> 8);
  s.SyntaxVersion = {1, 0};
  return s;
}

uint16_t negotiateFragment(uint16_t ClientXmit, uint16_t ClientRecv) {
  uint16_t v = std::min(ClientXmit, ClientRecv);
  v = std::clamp(v, kMinFragment, kMaxFragment);
  return static_cast<uint16_t>(v & 0xFFF8);
}

bool decodeHeader(std::span<const uint8_t> Bytes, Header& Out) {
  if (Bytes.size() < kHeaderSize) return false;
  Header h;
  h.Version = Bytes[0];
  h.MinorVersion = Bytes[1];
  h.PType = Bytes[2];
  h.Flags = Bytes[3];
  std::memcpy(h.Drep, Bytes.data() + 4, 4);
  uint8_t intRep = h.Drep[0] & 0xF0;
  if (intRep != 0x10 && intRep != 0x00) return false;
  NdrReader r(Bytes.subspan(8, 8), h.littleEndian());
  uint32_t callId = 0;
  if (!r.readU16(h.FragLength) || !r.readU16(h.AuthLength) || !r.readU32(callId)) return false;
  h.CallId = callId;
  Out = h;
  return true;
}

namespace {

// The body of a PDU without its authentication trailer; empty optional when the lengths do not fit.
std::optional<std::span<const uint8_t>> bodyOf(const Header& H, std::span<const uint8_t> Pdu) {
  if (Pdu.size() != H.FragLength || Pdu.size() < kHeaderSize) return std::nullopt;
  size_t end = Pdu.size();
  if (H.AuthLength > 0) {
    size_t trailer = size_t{H.AuthLength} + 8;
    if (trailer > end - kHeaderSize) return std::nullopt;
    end -= trailer;
  }
  return Pdu.first(end);
}

bool readSyntax(NdrReader& r, RPC_SYNTAX_IDENTIFIER& s) {
  return r.readUuid(s.SyntaxGUID) && r.readU16(s.SyntaxVersion.MajorVersion) && r.readU16(s.SyntaxVersion.MinorVersion);
}

void writeSyntax(NdrWriter& w, const RPC_SYNTAX_IDENTIFIER& s) {
  w.writeUuid(s.SyntaxGUID);
  w.writeU16(s.SyntaxVersion.MajorVersion);
  w.writeU16(s.SyntaxVersion.MinorVersion);
}

void writeHeader(NdrWriter& w, const Header& H) {
  w.writeU8(H.Version);
  w.writeU8(H.MinorVersion);
  w.writeU8(H.PType);
  w.writeU8(H.Flags);
  w.writeU8(0x10);  // little-endian integers, ASCII, IEEE floats
  w.writeU8(0);
  w.writeU8(0);
  w.writeU8(0);
  w.writeU16(0);  // frag_length, patched by finish
  w.writeU16(0);  // no authentication
  w.writeU32(H.CallId);
}

std::vector<uint8_t> finish(NdrWriter& w) {
  std::vector<uint8_t> b = w.take();
  auto len = static_cast<uint16_t>(b.size());
  b[8] = static_cast<uint8_t>(len & 0xFF);
  b[9] = static_cast<uint8_t>(len >> 8);
  return b;
}

// Skips the header in a reader over the body (alignment counts from the PDU start).
bool skipHeader(NdrReader& r) {
  std::span<const uint8_t> ignored;
  return r.readBytes(kHeaderSize, ignored);
}

}  // namespace

bool decodeBind(const Header& H, std::span<const uint8_t> Pdu, Bind& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  Bind b;
  uint8_t count = 0, pad8 = 0;
  uint16_t pad16 = 0;
  if (!skipHeader(r) || !r.readU16(b.MaxXmitFrag) || !r.readU16(b.MaxRecvFrag) || !r.readU32(b.AssocGroup) ||
      !r.readU8(count) || !r.readU8(pad8) || !r.readU16(pad16))
    return false;
  // Each context element takes at least 44 bytes: check the count against what arrived first.
  if (size_t{count} * 44 > r.remaining()) return false;
  b.Contexts.reserve(count);
  for (unsigned i = 0; i < count; ++i) {
    ContextElement c;
    uint8_t nts = 0;
    if (!r.readU16(c.ContextId) || !r.readU8(nts) || !r.readU8(pad8) || !readSyntax(r, c.Abstract)) return false;
    if (size_t{nts} * 20 > r.remaining()) return false;
    c.Transfers.resize(nts);
    for (auto& t : c.Transfers)
      if (!readSyntax(r, t)) return false;
    b.Contexts.push_back(std::move(c));
  }
  Out = std::move(b);
  return true;
}

bool decodeBindAck(const Header& H, std::span<const uint8_t> Pdu, BindAck& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  BindAck a;
  uint16_t addrLen = 0;
  if (!skipHeader(r) || !r.readU16(a.MaxXmitFrag) || !r.readU16(a.MaxRecvFrag) || !r.readU32(a.AssocGroup) ||
      !r.readU16(addrLen))
    return false;
  std::span<const uint8_t> addr;
  if (!r.readBytes(addrLen, addr)) return false;
  if (addrLen > 0) {
    const void* nul = std::memchr(addr.data(), 0, addr.size());
    size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - addr.data()) : addr.size();
    a.SecondaryAddress.assign(reinterpret_cast<const char*>(addr.data()), n);
  }
  uint8_t count = 0, pad8 = 0;
  uint16_t pad16 = 0;
  if (!r.align(4) || !r.readU8(count) || !r.readU8(pad8) || !r.readU16(pad16)) return false;
  if (size_t{count} * 24 > r.remaining()) return false;
  a.Results.resize(count);
  for (auto& res : a.Results)
    if (!r.readU16(res.Result) || !r.readU16(res.Reason) || !readSyntax(r, res.Transfer)) return false;
  Out = std::move(a);
  return true;
}

bool decodeBindNak(const Header& H, std::span<const uint8_t> Pdu, BindNak& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  BindNak n;
  if (!skipHeader(r) || !r.readU16(n.Reason)) return false;
  uint8_t count = 0;
  if (r.remaining() > 0) {  // the version list is optional in older peers
    if (!r.readU8(count)) return false;
    if (size_t{count} * 2 > r.remaining()) return false;
    for (unsigned i = 0; i < count; ++i) {
      uint8_t major = 0, minor = 0;
      if (!r.readU8(major) || !r.readU8(minor)) return false;
      n.Versions.emplace_back(major, minor);
    }
  }
  Out = std::move(n);
  return true;
}

bool decodeRequest(const Header& H, std::span<const uint8_t> Pdu, Request& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  Request q;
  if (!skipHeader(r) || !r.readU32(q.AllocHint) || !r.readU16(q.ContextId) || !r.readU16(q.Opnum)) return false;
  if (H.Flags & kFlagObjectUuid) {
    UUID obj;
    if (!r.readUuid(obj)) return false;
    q.Object = obj;
  }
  if (!r.readBytes(r.remaining(), q.Stub)) return false;
  Out = q;
  return true;
}

bool decodeResponse(const Header& H, std::span<const uint8_t> Pdu, Response& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  Response p;
  uint8_t reserved = 0;
  if (!skipHeader(r) || !r.readU32(p.AllocHint) || !r.readU16(p.ContextId) || !r.readU8(p.CancelCount) ||
      !r.readU8(reserved) || !r.readBytes(r.remaining(), p.Stub))
    return false;
  Out = p;
  return true;
}

bool decodeFault(const Header& H, std::span<const uint8_t> Pdu, Fault& Out) {
  auto body = bodyOf(H, Pdu);
  if (!body) return false;
  NdrReader r(*body, H.littleEndian());
  Fault f;
  if (!skipHeader(r) || !r.readU32(f.AllocHint) || !r.readU16(f.ContextId) || !r.readU8(f.CancelCount) ||
      !r.readU8(f.Flags) || !r.readU32(f.Status))
    return false;
  Out = f;
  return true;
}

std::vector<uint8_t> encodeBind(Header H, const Bind& Body) {
  NdrWriter w;
  writeHeader(w, H);
  w.writeU16(Body.MaxXmitFrag);
  w.writeU16(Body.MaxRecvFrag);
  w.writeU32(Body.AssocGroup);
  w.writeU8(static_cast<uint8_t>(Body.Contexts.size()));
  w.writeU8(0);
  w.writeU16(0);
  for (const auto& c : Body.Contexts) {
    w.writeU16(c.ContextId);
    w.writeU8(static_cast<uint8_t>(c.Transfers.size()));
    w.writeU8(0);
    writeSyntax(w, c.Abstract);
    for (const auto& t : c.Transfers) writeSyntax(w, t);
  }
  return finish(w);
}

std::vector<uint8_t> encodeBindAck(Header H, const BindAck& Body) {
  NdrWriter w;
  writeHeader(w, H);
  w.writeU16(Body.MaxXmitFrag);
  w.writeU16(Body.MaxRecvFrag);
  w.writeU32(Body.AssocGroup);
  if (Body.SecondaryAddress.empty()) {
    w.writeU16(0);
  } else {
    w.writeU16(static_cast<uint16_t>(Body.SecondaryAddress.size() + 1));
    w.writeBytes({reinterpret_cast<const uint8_t*>(Body.SecondaryAddress.c_str()), Body.SecondaryAddress.size() + 1});
  }
  w.align(4);
  w.writeU8(static_cast<uint8_t>(Body.Results.size()));
  w.writeU8(0);
  w.writeU16(0);
  for (const auto& r : Body.Results) {
    w.writeU16(r.Result);
    w.writeU16(r.Reason);
    writeSyntax(w, r.Transfer);
  }
  return finish(w);
}

std::vector<uint8_t> encodeBindNak(Header H, const BindNak& Body) {
  NdrWriter w;
  writeHeader(w, H);
  w.writeU16(Body.Reason);
  w.writeU8(static_cast<uint8_t>(Body.Versions.size()));
  for (const auto& [major, minor] : Body.Versions) {
    w.writeU8(major);
    w.writeU8(minor);
  }
  return finish(w);
}

std::vector<uint8_t> encodeRequest(Header H, const Request& Body) {
  NdrWriter w;
  if (Body.Object) H.Flags |= kFlagObjectUuid;
  writeHeader(w, H);
  w.writeU32(Body.AllocHint);
  w.writeU16(Body.ContextId);
  w.writeU16(Body.Opnum);
  if (Body.Object) w.writeUuid(*Body.Object);
  w.writeBytes(Body.Stub);
  return finish(w);
}

std::vector<uint8_t> encodeResponse(Header H, const Response& Body) {
  NdrWriter w;
  writeHeader(w, H);
  w.writeU32(Body.AllocHint);
  w.writeU16(Body.ContextId);
  w.writeU8(Body.CancelCount);
  w.writeU8(0);
  w.writeBytes(Body.Stub);
  return finish(w);
}

std::vector<uint8_t> encodeFault(Header H, const Fault& Body) {
  NdrWriter w;
  H.PType = kFault;
  writeHeader(w, H);
  w.writeU32(Body.AllocHint);
  w.writeU16(Body.ContextId);
  w.writeU8(Body.CancelCount);
  w.writeU8(Body.Flags);
  w.writeU32(Body.Status);
  w.writeU32(0);
  return finish(w);
}

std::vector<uint8_t> encodeEmpty(Header H) {
  NdrWriter w;
  writeHeader(w, H);
  return finish(w);
}

}  // namespace lw::rpc::pdu
