// The endpoint-mapper interface (e1af8308-5d1f-11c9-91a4-08002b14a0fa v3.0): protocol towers, the stub
// layouts of ept_insert, ept_delete, ept_lookup, ept_map and ept_lookup_handle_free, and the mapper itself
// (its database and procedure table), which `logwarden-epmd` serves.
//
// Decoders take outside bytes through an NdrReader (bounded, status-returning); every count is checked
// against what remains before anything is sized from it. The mapper's database is thread-safe.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/rpc/Ndr.h"
#include "platform/rpc/Rpc.h"

namespace lw::rpc::epm {

extern const RPC_SYNTAX_IDENTIFIER kEpmInterface;

inline constexpr uint16_t kOpInsert = 0;
inline constexpr uint16_t kOpDelete = 1;
inline constexpr uint16_t kOpLookup = 2;
inline constexpr uint16_t kOpMap = 3;
inline constexpr uint16_t kOpLookupHandleFree = 4;

// Statuses of the mapper's replies on the wire.
inline constexpr uint32_t kStatusOk = 0;
inline constexpr uint32_t ept_s_not_registered = 0x16C9A0D6;
inline constexpr uint32_t kStatusCantPerformOp = 0x6D8;  // what a Windows mapper answers a remote insert
inline constexpr uint32_t kStatusInvalidEntry = 0x6D7;

// Protocol tower of ncacn_ip_tcp with NDR: interface, transfer syntax, RPC connection-oriented, TCP port,
// IPv4 address.
struct Tower {
  RPC_SYNTAX_IDENTIFIER Interface;
  RPC_SYNTAX_IDENTIFIER Transfer;
  uint16_t Port = 0;
  std::array<uint8_t, 4> Address{};  // network order
};
std::vector<uint8_t> encodeTower(const Tower& T);
// False unless the octets hold at least the five floors of an ncacn_ip_tcp tower with consistent lengths.
bool decodeTower(std::span<const uint8_t> Octets, Tower& T);
// Only the interface floor (what lookups and replacement compare).
bool decodeTowerInterface(std::span<const uint8_t> Octets, RPC_SYNTAX_IDENTIFIER& Interface);

using EntryHandle = std::array<uint8_t, 20>;

struct Entry {
  UUID Object;
  std::vector<uint8_t> Tower;  // octets; empty for a null tower pointer
  std::string Annotation;
};

struct InsertRequest {
  std::vector<Entry> Entries;
  uint32_t Replace = 0;
};
struct MapRequest {
  std::optional<UUID> Object;
  std::optional<std::vector<uint8_t>> Tower;
  EntryHandle Handle{};
  uint32_t MaxTowers = 0;
};
struct MapResponse {
  EntryHandle Handle{};
  std::vector<std::vector<uint8_t>> Towers;
  uint32_t Status = 0;
};
struct LookupRequest {
  uint32_t InquiryType = 0;
  std::optional<UUID> Object;
  std::optional<RPC_SYNTAX_IDENTIFIER> Interface;
  uint32_t VersOption = 1;
  EntryHandle Handle{};
  uint32_t MaxEntries = 0;
};
struct LookupResponse {
  EntryHandle Handle{};
  std::vector<Entry> Entries;
  uint32_t Status = 0;
};

std::vector<uint8_t> encodeInsertRequest(const InsertRequest& R);  // also ept_delete (Replace ignored)
bool decodeInsertRequest(NdrReader& In, InsertRequest& R, bool WithReplace);
std::vector<uint8_t> encodeMapRequest(const MapRequest& R);
bool decodeMapRequest(NdrReader& In, MapRequest& R);
std::vector<uint8_t> encodeMapResponse(const MapResponse& R, uint32_t MaxTowers);
bool decodeMapResponse(NdrReader& In, MapResponse& R);
std::vector<uint8_t> encodeLookupRequest(const LookupRequest& R);
bool decodeLookupRequest(NdrReader& In, LookupRequest& R);
std::vector<uint8_t> encodeLookupResponse(const LookupResponse& R, uint32_t MaxEntries);
bool decodeLookupResponse(NdrReader& In, LookupResponse& R);

// ---- The mapper ----
// The interface description served by logwarden-epmd. Inserts and deletes are accepted from loopback
// peers only; entries are owned by the connection that inserted them and go when it closes; an insert
// with replace drops every earlier entry of the same interface (UUID and version) and object.
RPC_IF_HANDLE mapperInterface();
// Number of entries, and the steady-clock milliseconds of the last call (for the idle exit).
size_t mapperEntryCount();
int64_t mapperLastActivityMs();

}  // namespace lw::rpc::epm
