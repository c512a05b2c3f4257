#include "platform/rpc/Ndr.h"

#include <cstring>

namespace lw::rpc {

bool NdrReader::take(size_t Count, const uint8_t*& Where) {
  if (!ok_ || Count > data_.size() - pos_) return fail();
  Where = data_.data() + pos_;
  pos_ += Count;
  return true;
}

bool NdrReader::align(size_t To) {
  if (!ok_) return false;
  size_t pad = (To - pos_ % To) % To;
  if (pad > data_.size() - pos_) return fail();
  pos_ += pad;
  return true;
}

bool NdrReader::readU8(uint8_t& Value) {
  const uint8_t* p = nullptr;
  if (!take(1, p)) return false;
  Value = p[0];
  return true;
}

bool NdrReader::readU16(uint16_t& Value) {
  const uint8_t* p = nullptr;
  if (!align(2) || !take(2, p)) return false;
  Value = littleEndian_ ? static_cast<uint16_t>(p[0] | (p[1] << 8)) : static_cast<uint16_t>((p[0] << 8) | p[1]);
  return true;
}

bool NdrReader::readU32(uint32_t& Value) {
  const uint8_t* p = nullptr;
  if (!align(4) || !take(4, p)) return false;
  if (littleEndian_)
    Value = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
  else
    Value = uint32_t{p[3]} | (uint32_t{p[2]} << 8) | (uint32_t{p[1]} << 16) | (uint32_t{p[0]} << 24);
  return true;
}

bool NdrReader::readI32(int32_t& Value) {
  uint32_t v = 0;
  if (!readU32(v)) return false;
  Value = static_cast<int32_t>(v);
  return true;
}

bool NdrReader::readUuid(lw::tGuid& Value) {
  // A UUID is a structure (long, short, short, byte[8]) aligned to 4, in the sender's integer order.
  lw::tGuid g;
  const uint8_t* p = nullptr;
  if (!readU32(g.Data1) || !readU16(g.Data2) || !readU16(g.Data3) || !take(8, p)) return false;
  std::memcpy(g.Data4, p, 8);
  Value = g;
  return true;
}

bool NdrReader::readBytes(size_t Count, std::span<const uint8_t>& Bytes) {
  const uint8_t* p = nullptr;
  if (!take(Count, p)) return false;
  Bytes = std::span<const uint8_t>(p, Count);
  return true;
}

bool NdrReader::readConformantVaryingString(std::string& Value) {
  uint32_t maxCount = 0, offset = 0, actual = 0;
  if (!readU32(maxCount) || !readU32(offset) || !readU32(actual)) return false;
  if (offset != 0 || actual == 0 || actual > maxCount) return fail();
  const uint8_t* p = nullptr;
  if (!take(actual, p)) return false;
  if (p[actual - 1] != 0) return fail();
  const void* nul = std::memchr(p, 0, actual);
  size_t len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
  Value.assign(reinterpret_cast<const char*>(p), len);
  return true;
}

void NdrWriter::align(size_t To) {
  while (bytes_.size() % To != 0) bytes_.push_back(0);
}

void NdrWriter::writeU8(uint8_t Value) { bytes_.push_back(Value); }

void NdrWriter::writeU16(uint16_t Value) {
  align(2);
  bytes_.push_back(static_cast<uint8_t>(Value & 0xFF));
  bytes_.push_back(static_cast<uint8_t>(Value >> 8));
}

void NdrWriter::writeU32(uint32_t Value) {
  align(4);
  for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>((Value >> (8 * i)) & 0xFF));
}

void NdrWriter::writeUuid(const lw::tGuid& Value) {
  writeU32(Value.Data1);
  writeU16(Value.Data2);
  writeU16(Value.Data3);
  bytes_.insert(bytes_.end(), Value.Data4, Value.Data4 + 8);
}

void NdrWriter::writeBytes(std::span<const uint8_t> Bytes) { bytes_.insert(bytes_.end(), Bytes.begin(), Bytes.end()); }

void NdrWriter::writeConformantVaryingString(const std::string& Value) {
  // The string ends at its first zero byte, as a C string would.
  size_t len = std::strlen(Value.c_str());
  auto count = static_cast<uint32_t>(len + 1);
  writeU32(count);
  writeU32(0);
  writeU32(count);
  const auto* p = reinterpret_cast<const uint8_t*>(Value.c_str());
  bytes_.insert(bytes_.end(), p, p + len + 1);
}

}  // namespace lw::rpc
