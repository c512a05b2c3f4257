#include "platform/os/Types.h"

#include <cstdio>

namespace lw {

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads Digits hex digits at Text[Pos...]; false on a non-hex character.
bool readHex(std::string_view Text, size_t Pos, size_t Digits, uint64_t& Out) {
  Out = 0;
  for (size_t i = 0; i < Digits; ++i) {
    int v = hexValue(Text[Pos + i]);
    if (v < 0) return false;
    Out = (Out << 4) | static_cast<uint64_t>(v);
  }
  return true;
}

}  // namespace

std::optional<tGuid> tGuid::Parse(std::string_view Text) {
  if (Text.size() == 38 && Text.front() == '{' && Text.back() == '}') Text = Text.substr(1, 36);
  if (Text.size() != 36 || Text[8] != '-' || Text[13] != '-' || Text[18] != '-' || Text[23] != '-')
    return std::nullopt;
  tGuid g;
  uint64_t v = 0;
  if (!readHex(Text, 0, 8, v)) return std::nullopt;
  g.Data1 = static_cast<uint32_t>(v);
  if (!readHex(Text, 9, 4, v)) return std::nullopt;
  g.Data2 = static_cast<uint16_t>(v);
  if (!readHex(Text, 14, 4, v)) return std::nullopt;
  g.Data3 = static_cast<uint16_t>(v);
  static constexpr size_t kPos[8] = {19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 8; ++i) {
    if (!readHex(Text, kPos[i], 2, v)) return std::nullopt;
    g.Data4[i] = static_cast<uint8_t>(v);
  }
  return g;
}

std::string tGuid::ToString() const {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned>(Data1), static_cast<unsigned>(Data2),
                static_cast<unsigned>(Data3), Data4[0], Data4[1], Data4[2], Data4[3], Data4[4],
                Data4[5], Data4[6], Data4[7]);
  return buf;
}

tGuid tGuid::FromBytes(const uint8_t* Bytes) {
  tGuid g;
  g.Data1 = static_cast<uint32_t>(Bytes[0]) | static_cast<uint32_t>(Bytes[1]) << 8 |
            static_cast<uint32_t>(Bytes[2]) << 16 | static_cast<uint32_t>(Bytes[3]) << 24;
  g.Data2 = static_cast<uint16_t>(Bytes[4] | Bytes[5] << 8);
  g.Data3 = static_cast<uint16_t>(Bytes[6] | Bytes[7] << 8);
  for (int i = 0; i < 8; ++i) g.Data4[i] = Bytes[8 + i];
  return g;
}

void tGuid::ToBytes(uint8_t* Bytes) const {
  for (int i = 0; i < 4; ++i) Bytes[i] = static_cast<uint8_t>(Data1 >> (8 * i));
  Bytes[4] = static_cast<uint8_t>(Data2);
  Bytes[5] = static_cast<uint8_t>(Data2 >> 8);
  Bytes[6] = static_cast<uint8_t>(Data3);
  Bytes[7] = static_cast<uint8_t>(Data3 >> 8);
  for (int i = 0; i < 8; ++i) Bytes[8 + i] = Data4[i];
}

}  // namespace lw
