#include "platform/rpc/Epm.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace lw::rpc::epm {

const RPC_SYNTAX_IDENTIFIER kEpmInterface = {
    {0xe1af8308, 0x5d1f, 0x11c9, {0x91, 0xa4, 0x08, 0x00, 0x2b, 0x14, 0xa0, 0xfa}}, {3, 0}};

namespace {

void putU16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>(v >> 8));
}

void putSyntaxFloor(std::vector<uint8_t>& b, const RPC_SYNTAX_IDENTIFIER& s) {
  putU16(b, 19);
  b.push_back(0x0D);
  uint8_t g[16];
  s.SyntaxGUID.ToBytes(g);
  b.insert(b.end(), g, g + 16);
  putU16(b, s.SyntaxVersion.MajorVersion);
  putU16(b, 2);
  putU16(b, s.SyntaxVersion.MinorVersion);
}

// Towers are byte strings with little-endian counts whatever the stub's representation.
struct Floor {
  std::span<const uint8_t> Lhs, Rhs;
};

bool readFloors(std::span<const uint8_t> O, std::vector<Floor>& Floors, size_t MaxFloors) {
  if (O.size() < 2) return false;
  size_t count = size_t{O[0]} | (size_t{O[1]} << 8);
  size_t pos = 2;
  for (size_t i = 0; i < count && i < MaxFloors; ++i) {
    Floor f;
    for (auto* side : {&f.Lhs, &f.Rhs}) {
      if (O.size() - pos < 2) return false;
      size_t len = size_t{O[pos]} | (size_t{O[pos + 1]} << 8);
      pos += 2;
      if (O.size() - pos < len) return false;
      *side = O.subspan(pos, len);
      pos += len;
    }
    Floors.push_back(f);
  }
  return Floors.size() == std::min(count, MaxFloors);
}

bool syntaxFromFloor(const Floor& F, RPC_SYNTAX_IDENTIFIER& S) {
  if (F.Lhs.size() != 19 || F.Lhs[0] != 0x0D || F.Rhs.size() != 2) return false;
  S.SyntaxGUID = lw::tGuid::FromBytes(F.Lhs.data() + 1);
  S.SyntaxVersion.MajorVersion = static_cast<uint16_t>(F.Lhs[17] | (F.Lhs[18] << 8));
  S.SyntaxVersion.MinorVersion = static_cast<uint16_t>(F.Rhs[0] | (F.Rhs[1] << 8));
  return true;
}

void writeHandle(NdrWriter& w, const EntryHandle& h) {
  w.align(4);
  w.writeBytes(h);
}
bool readHandle(NdrReader& r, EntryHandle& h) {
  std::span<const uint8_t> b;
  if (!r.align(4) || !r.readBytes(20, b)) return false;
  std::memcpy(h.data(), b.data(), 20);
  return true;
}

// The context handle and the header of the conformant varying array that both responses carry:
// count, maximum (what the caller allowed, or more), offset 0, actual count.
void writeHandleAndArrayHeader(NdrWriter& w, const EntryHandle& h, uint32_t Count, uint32_t Max) {
  writeHandle(w, h);
  w.writeU32(Count);
  w.writeU32(std::max(Max, Count));
  w.writeU32(0);
  w.writeU32(Count);
}
// Reads them back; the actual count must fit both the maximum and what is left at ElementBytes each.
bool readHandleAndArrayHeader(NdrReader& r, EntryHandle& h, size_t ElementBytes, uint32_t& Actual) {
  uint32_t num = 0, max = 0, offset = 0;
  if (!readHandle(r, h) || !r.readU32(num) || !r.readU32(max) || !r.readU32(offset) || !r.readU32(Actual))
    return false;
  return offset == 0 && Actual == num && Actual <= max && size_t{Actual} * ElementBytes <= r.remaining();
}

// twr_t as a referent: conformance, length, octets.
void writeTowerReferent(NdrWriter& w, const std::vector<uint8_t>& t) {
  w.writeU32(static_cast<uint32_t>(t.size()));
  w.writeU32(static_cast<uint32_t>(t.size()));
  w.writeBytes(t);
}
bool readTowerReferent(NdrReader& r, std::vector<uint8_t>& t) {
  uint32_t max = 0, len = 0;
  if (!r.readU32(max) || !r.readU32(len) || len != max) return false;
  std::span<const uint8_t> b;
  if (!r.readBytes(len, b)) return false;
  t.assign(b.begin(), b.end());
  return true;
}

bool readUniqueUuid(NdrReader& r, std::optional<UUID>& u) {
  uint32_t ref = 0;
  if (!r.readU32(ref)) return false;
  if (ref == 0) {
    u.reset();
    return true;
  }
  UUID v;
  if (!r.readUuid(v)) return false;
  u = v;
  return true;
}

// ept_entry_t without its tower referent: object, tower pointer, annotation (a varying string of at
// most 64 characters in a fixed array).
void writeEntryHead(NdrWriter& w, const Entry& e, uint32_t RefId) {
  w.writeUuid(e.Object);
  w.writeU32(e.Tower.empty() ? 0 : RefId);
  std::string a = e.Annotation.substr(0, 63);
  w.writeU32(0);
  w.writeU32(static_cast<uint32_t>(a.size() + 1));
  w.writeBytes({reinterpret_cast<const uint8_t*>(a.c_str()), a.size() + 1});
}
bool readEntryHead(NdrReader& r, Entry& e, bool& HasTower) {
  uint32_t ref = 0, offset = 0, actual = 0;
  if (!r.readUuid(e.Object) || !r.readU32(ref) || !r.readU32(offset) || !r.readU32(actual)) return false;
  if (offset != 0 || actual > 64) return false;
  std::span<const uint8_t> b;
  if (!r.readBytes(actual, b)) return false;
  const void* nul = std::memchr(b.data(), 0, b.size());
  size_t n = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - b.data()) : b.size();
  e.Annotation.assign(reinterpret_cast<const char*>(b.data()), n);
  HasTower = ref != 0;
  return true;
}

// Smallest size of one ept_entry_t on the wire (uuid, pointer, offset, count).
constexpr size_t kMinEntryBytes = 28;

}  // namespace

std::vector<uint8_t> encodeTower(const Tower& T) {
  std::vector<uint8_t> b;
  putU16(b, 5);
  putSyntaxFloor(b, T.Interface);
  putSyntaxFloor(b, T.Transfer);
  putU16(b, 1);
  b.push_back(0x0B);
  putU16(b, 2);
  putU16(b, 0);
  putU16(b, 1);
  b.push_back(0x07);
  putU16(b, 2);
  b.push_back(static_cast<uint8_t>(T.Port >> 8));
  b.push_back(static_cast<uint8_t>(T.Port & 0xFF));
  putU16(b, 1);
  b.push_back(0x09);
  putU16(b, 4);
  b.insert(b.end(), T.Address.begin(), T.Address.end());
  return b;
}

bool decodeTowerInterface(std::span<const uint8_t> Octets, RPC_SYNTAX_IDENTIFIER& Interface) {
  std::vector<Floor> floors;
  return readFloors(Octets, floors, 1) && !floors.empty() && syntaxFromFloor(floors[0], Interface);
}

bool decodeTower(std::span<const uint8_t> Octets, Tower& T) {
  std::vector<Floor> f;
  if (!readFloors(Octets, f, 5) || f.size() < 5) return false;
  Tower t;
  if (!syntaxFromFloor(f[0], t.Interface) || !syntaxFromFloor(f[1], t.Transfer)) return false;
  if (f[2].Lhs.size() != 1 || f[2].Lhs[0] != 0x0B) return false;
  if (f[3].Lhs.size() != 1 || f[3].Lhs[0] != 0x07 || f[3].Rhs.size() != 2) return false;
  if (f[4].Lhs.size() != 1 || f[4].Lhs[0] != 0x09 || f[4].Rhs.size() != 4) return false;
  t.Port = static_cast<uint16_t>((f[3].Rhs[0] << 8) | f[3].Rhs[1]);
  std::copy(f[4].Rhs.begin(), f[4].Rhs.end(), t.Address.begin());
  T = t;
  return true;
}

std::vector<uint8_t> encodeInsertRequest(const InsertRequest& R) {
  NdrWriter w;
  w.writeU32(static_cast<uint32_t>(R.Entries.size()));
  w.writeU32(static_cast<uint32_t>(R.Entries.size()));
  uint32_t ref = 1;
  for (const auto& e : R.Entries) writeEntryHead(w, e, ref++);
  for (const auto& e : R.Entries)
    if (!e.Tower.empty()) {
      writeTowerReferent(w, e.Tower);
    }
  w.writeU32(R.Replace);
  return w.take();
}

bool decodeInsertRequest(NdrReader& In, InsertRequest& R, bool WithReplace) {
  uint32_t num = 0, max = 0;
  if (!In.readU32(num) || !In.readU32(max) || max != num) return false;
  if (size_t{num} * kMinEntryBytes > In.remaining()) return false;
  std::vector<Entry> entries(num);
  std::vector<bool> hasTower(num);
  for (size_t i = 0; i < num; ++i) {
    bool t = false;
    if (!readEntryHead(In, entries[i], t)) return false;
    hasTower[i] = t;
  }
  for (size_t i = 0; i < num; ++i)
    if (hasTower[i] && !readTowerReferent(In, entries[i].Tower)) return false;
  R.Entries = std::move(entries);
  R.Replace = 0;
  if (WithReplace && !In.readU32(R.Replace)) return false;
  return true;
}

std::vector<uint8_t> encodeMapRequest(const MapRequest& R) {
  NdrWriter w;
  w.writeU32(R.Object ? 1 : 0);
  if (R.Object) w.writeUuid(*R.Object);
  w.writeU32(R.Tower ? 2 : 0);
  if (R.Tower) writeTowerReferent(w, *R.Tower);
  writeHandle(w, R.Handle);
  w.writeU32(R.MaxTowers);
  return w.take();
}

bool decodeMapRequest(NdrReader& In, MapRequest& R) {
  MapRequest m;
  uint32_t ref = 0;
  if (!readUniqueUuid(In, m.Object) || !In.readU32(ref)) return false;
  if (ref != 0) {
    std::vector<uint8_t> t;
    if (!readTowerReferent(In, t)) return false;
    m.Tower = std::move(t);
  }
  if (!readHandle(In, m.Handle) || !In.readU32(m.MaxTowers)) return false;
  R = std::move(m);
  return true;
}

std::vector<uint8_t> encodeMapResponse(const MapResponse& R, uint32_t MaxTowers) {
  NdrWriter w;
  auto n = static_cast<uint32_t>(R.Towers.size());
  writeHandleAndArrayHeader(w, R.Handle, n, MaxTowers);
  for (uint32_t i = 0; i < n; ++i) w.writeU32(i + 3);
  for (const auto& t : R.Towers) {
    writeTowerReferent(w, t);
    w.align(4);
  }
  w.writeU32(R.Status);
  return w.take();
}

bool decodeMapResponse(NdrReader& In, MapResponse& R) {
  MapResponse m;
  uint32_t actual = 0;
  if (!readHandleAndArrayHeader(In, m.Handle, 4, actual)) return false;
  std::vector<uint32_t> refs(actual);
  for (auto& ref : refs)
    if (!In.readU32(ref)) return false;
  for (uint32_t ref : refs) {
    if (ref == 0) continue;
    std::vector<uint8_t> t;
    if (!readTowerReferent(In, t) || !In.align(4)) return false;
    m.Towers.push_back(std::move(t));
  }
  if (!In.readU32(m.Status)) return false;
  R = std::move(m);
  return true;
}

std::vector<uint8_t> encodeLookupRequest(const LookupRequest& R) {
  NdrWriter w;
  w.writeU32(R.InquiryType);
  w.writeU32(R.Object ? 1 : 0);
  if (R.Object) w.writeUuid(*R.Object);
  w.writeU32(R.Interface ? 2 : 0);
  if (R.Interface) {
    w.writeUuid(R.Interface->SyntaxGUID);
    w.writeU16(R.Interface->SyntaxVersion.MajorVersion);
    w.writeU16(R.Interface->SyntaxVersion.MinorVersion);
  }
  w.writeU32(R.VersOption);
  writeHandle(w, R.Handle);
  w.writeU32(R.MaxEntries);
  return w.take();
}

bool decodeLookupRequest(NdrReader& In, LookupRequest& R) {
  LookupRequest l;
  uint32_t ref = 0;
  if (!In.readU32(l.InquiryType) || !readUniqueUuid(In, l.Object) || !In.readU32(ref)) return false;
  if (ref != 0) {
    RPC_SYNTAX_IDENTIFIER s;
    if (!In.readUuid(s.SyntaxGUID) || !In.readU16(s.SyntaxVersion.MajorVersion) ||
        !In.readU16(s.SyntaxVersion.MinorVersion))
      return false;
    l.Interface = s;
  }
  if (!In.readU32(l.VersOption) || !readHandle(In, l.Handle) || !In.readU32(l.MaxEntries)) return false;
  R = std::move(l);
  return true;
}

std::vector<uint8_t> encodeLookupResponse(const LookupResponse& R, uint32_t MaxEntries) {
  NdrWriter w;
  writeHandleAndArrayHeader(w, R.Handle, static_cast<uint32_t>(R.Entries.size()), MaxEntries);
  uint32_t ref = 3;
  for (const auto& e : R.Entries) {
    w.align(4);
    writeEntryHead(w, e, ref++);
  }
  for (const auto& e : R.Entries)
    if (!e.Tower.empty()) {
      writeTowerReferent(w, e.Tower);
      w.align(4);
    }
  w.writeU32(R.Status);
  return w.take();
}

bool decodeLookupResponse(NdrReader& In, LookupResponse& R) {
  LookupResponse l;
  uint32_t actual = 0;
  if (!readHandleAndArrayHeader(In, l.Handle, kMinEntryBytes, actual)) return false;
  std::vector<Entry> entries(actual);
  std::vector<bool> hasTower(actual);
  for (size_t i = 0; i < actual; ++i) {
    bool t = false;
    if (!In.align(4) || !readEntryHead(In, entries[i], t)) return false;
    hasTower[i] = t;
  }
  for (size_t i = 0; i < actual; ++i)
    if (hasTower[i] && (!readTowerReferent(In, entries[i].Tower) || !In.align(4))) return false;
  if (!In.readU32(l.Status)) return false;
  l.Entries = std::move(entries);
  R = std::move(l);
  return true;
}

// ---- The mapper ----
namespace {

struct Stored {
  Entry E;
  RPC_SYNTAX_IDENTIFIER Interface;
  uint64_t Owner = 0;
  uint64_t Seq = 0;
};

struct Db {
  std::mutex M;
  std::vector<Stored> Entries;  // oldest first; lookups walk from the newest
  uint64_t Seq = 0;
  std::atomic<int64_t> LastActivity{0};
};

Db& db() {
  static Db* d = new Db;
  return *d;
}

int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool versionMatches(const RPC_VERSION& Have, const RPC_VERSION& Want, uint32_t Option) {
  switch (Option) {
    case 1: return true;  // all
    case 2: return Have.MajorVersion == Want.MajorVersion && Have.MinorVersion >= Want.MinorVersion;  // compatible
    case 3: return Have == Want;  // exact
    case 4: return Have.MajorVersion == Want.MajorVersion;  // major only
    case 5: return Have.MajorVersion < Want.MajorVersion ||
                   (Have.MajorVersion == Want.MajorVersion && Have.MinorVersion <= Want.MinorVersion);  // up to
    default: return false;
  }
}

// A lookup handle carries the position to continue from; the zero handle starts (and ends) a lookup.
EntryHandle handleFor(uint32_t Position) {
  EntryHandle h{};
  h[4] = 0x4C;
  h[5] = 0x57;
  std::memcpy(h.data() + 8, &Position, 4);
  return h;
}
uint32_t positionOf(const EntryHandle& H) {
  if (H[4] != 0x4C || H[5] != 0x57) return 0;
  uint32_t p = 0;
  std::memcpy(&p, H.data() + 8, 4);
  return p;
}

RPC_STATUS opInsert(CallContext& Call, NdrReader& In, NdrWriter& Out, bool Delete) {
  InsertRequest req;
  if (!decodeInsertRequest(In, req, !Delete)) return RPC_X_BAD_STUB_DATA;
  uint32_t status = kStatusOk;
  if (!Call.PeerIsLoopback()) {
    status = kStatusCantPerformOp;
  } else {
    std::vector<std::pair<Entry, RPC_SYNTAX_IDENTIFIER>> parsed;
    for (auto& e : req.Entries) {
      RPC_SYNTAX_IDENTIFIER s;
      Tower t;
      if (!decodeTower(e.Tower, t)) {
        status = kStatusInvalidEntry;
        break;
      }
      s = t.Interface;
      parsed.emplace_back(std::move(e), s);
    }
    if (status == kStatusOk) {
      auto& d = db();
      std::lock_guard<std::mutex> lock(d.M);
      for (auto& item : parsed) {
        Entry& e = item.first;
        const RPC_SYNTAX_IDENTIFIER& s = item.second;
        auto same = [&](const Stored& x) {
          return x.Interface == s && x.E.Object == e.Object && (Delete || req.Replace || x.E.Tower == e.Tower);
        };
        bool found = std::any_of(d.Entries.begin(), d.Entries.end(), same);
        d.Entries.erase(std::remove_if(d.Entries.begin(), d.Entries.end(), same), d.Entries.end());
        if (Delete) {
          if (!found) status = ept_s_not_registered;
          continue;
        }
        d.Entries.push_back(Stored{e, s, Call.ConnectionId(), ++d.Seq});
      }
    }
  }
  Out.writeU32(status);
  return RPC_S_OK;
}

RPC_STATUS opMap(CallContext&, NdrReader& In, NdrWriter& Out) {
  MapRequest req;
  if (!decodeMapRequest(In, req)) return RPC_X_BAD_STUB_DATA;
  MapResponse resp;
  RPC_SYNTAX_IDENTIFIER want;
  if (!req.Tower || !decodeTowerInterface(*req.Tower, want)) {
    resp.Status = ept_s_not_registered;
  } else {
    UUID object = req.Object.value_or(UUID{});
    auto& d = db();
    std::lock_guard<std::mutex> lock(d.M);
    uint32_t skip = positionOf(req.Handle);
    uint32_t seen = 0;
    for (auto it = d.Entries.rbegin(); it != d.Entries.rend(); ++it) {
      const Stored& s = *it;
      if (s.Interface.SyntaxGUID != want.SyntaxGUID || !versionMatches(s.Interface.SyntaxVersion, want.SyntaxVersion, 2))
        continue;
      if (!(object == UUID{}) && !(s.E.Object == object) && !(s.E.Object == UUID{})) continue;
      if (seen++ < skip) continue;
      if (resp.Towers.size() >= req.MaxTowers) {
        resp.Handle = handleFor(seen - 1);
        break;
      }
      resp.Towers.push_back(s.E.Tower);
    }
    if (resp.Towers.empty()) resp.Status = ept_s_not_registered;
  }
  Out.writeBytes(encodeMapResponse(resp, req.MaxTowers));
  return RPC_S_OK;
}

RPC_STATUS opLookup(CallContext&, NdrReader& In, NdrWriter& Out) {
  LookupRequest req;
  if (!decodeLookupRequest(In, req)) return RPC_X_BAD_STUB_DATA;
  LookupResponse resp;
  {
    auto& d = db();
    std::lock_guard<std::mutex> lock(d.M);
    uint32_t skip = positionOf(req.Handle);
    uint32_t seen = 0;
    for (auto it = d.Entries.rbegin(); it != d.Entries.rend(); ++it) {
      const Stored& s = *it;
      bool byIf = req.InquiryType == 1 || req.InquiryType == 3;
      bool byObj = req.InquiryType == 2 || req.InquiryType == 3;
      if (byIf && (!req.Interface || s.Interface.SyntaxGUID != req.Interface->SyntaxGUID ||
                   !versionMatches(s.Interface.SyntaxVersion, req.Interface->SyntaxVersion, req.VersOption)))
        continue;
      if (byObj && !(s.E.Object == req.Object.value_or(UUID{}))) continue;
      if (req.InquiryType > 3) continue;
      if (seen++ < skip) continue;
      if (resp.Entries.size() >= req.MaxEntries) {
        resp.Handle = handleFor(seen - 1);
        break;
      }
      resp.Entries.push_back(s.E);
    }
  }
  if (resp.Entries.empty()) resp.Status = ept_s_not_registered;
  Out.writeBytes(encodeLookupResponse(resp, req.MaxEntries));
  return RPC_S_OK;
}

RPC_STATUS opHandleFree(CallContext&, NdrReader& In, NdrWriter& Out) {
  EntryHandle h;
  if (!readHandle(In, h)) return RPC_X_BAD_STUB_DATA;
  writeHandle(Out, EntryHandle{});
  Out.writeU32(kStatusOk);
  return RPC_S_OK;
}

template <typename F>
StubRoutine touched(F Routine) {
  return [Routine](CallContext& C, NdrReader& In, NdrWriter& Out) {
    db().LastActivity.store(nowMs());
    return Routine(C, In, Out);
  };
}

RPC_SERVER_INTERFACE makeMapper() {
  RPC_SERVER_INTERFACE i;
  i.InterfaceId = kEpmInterface;
  i.Routines = {
      touched([](CallContext& C, NdrReader& In, NdrWriter& Out) { return opInsert(C, In, Out, false); }),
      touched([](CallContext& C, NdrReader& In, NdrWriter& Out) { return opInsert(C, In, Out, true); }),
      touched(opLookup),
      touched(opMap),
      touched(opHandleFree),
  };
  i.ConnectionClosed = [](uint64_t Id) {
    auto& d = db();
    std::lock_guard<std::mutex> lock(d.M);
    d.Entries.erase(std::remove_if(d.Entries.begin(), d.Entries.end(), [&](const Stored& s) { return s.Owner == Id; }),
                    d.Entries.end());
    d.LastActivity.store(nowMs());
  };
  return i;
}

}  // namespace

RPC_IF_HANDLE mapperInterface() {
  static const RPC_SERVER_INTERFACE i = makeMapper();
  return &i;
}

size_t mapperEntryCount() {
  auto& d = db();
  std::lock_guard<std::mutex> lock(d.M);
  return d.Entries.size();
}

int64_t mapperLastActivityMs() { return db().LastActivity.load(); }

}  // namespace lw::rpc::epm
