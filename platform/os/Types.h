// Basic value types shared by every layer: GUIDs and file times.
//
// tGuid has the memory layout of the platform's GUID (16 bytes, first three fields little-endian on the
// platforms we build for), so trace records and RPC stubs can carry it as it stands on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lw {

struct tGuid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  uint8_t Data4[8] = {};

  friend bool operator==(const tGuid&, const tGuid&) = default;

  // Parses "8EC0B600-00C8-485F-B2DA-FB9121D128BA", with or without braces, either case.
  static std::optional<tGuid> Parse(std::string_view Text);
  // Upper-case, no braces.
  std::string ToString() const;
  // The 16 bytes as laid out in memory and on the wire (little-endian first three fields).
  static tGuid FromBytes(const uint8_t* Bytes);
  void ToBytes(uint8_t* Bytes) const;
};
static_assert(sizeof(tGuid) == 16);

// A count of 100-ns intervals since 1601-01-01 00:00. Kept distinct from other 64-bit counts
// (raw clock ticks, offsets) so that a mix-up does not compile.
struct tFileTime {
  uint64_t Value = 0;
  friend auto operator<=>(const tFileTime&, const tFileTime&) = default;
};

}  // namespace lw
