// NDR 2.0 marshalling of the types our interfaces use: 8/16/32-bit integers, UUIDs, conformant varying
// strings of 8-bit characters, conformant (varying) arrays, unique/full pointer referent ids.
//
// Alignment is counted from the start of the stub data. NdrReader reads outside bytes: every read is
// bounds-checked and returns false (leaving the output untouched) when the data does not hold it; after
// the first failure every further read fails too, so a routine may check once at the end with ok().
// NdrWriter always writes little-endian. Neither class is thread-safe; both are cheap values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/os/Types.h"

namespace lw::rpc {

class NdrReader {
 public:
  explicit NdrReader(std::span<const uint8_t> Data, bool LittleEndian = true)
      : data_(Data), littleEndian_(LittleEndian) {}

  bool align(size_t To);
  bool readU8(uint8_t& Value);
  bool readU16(uint16_t& Value);
  bool readU32(uint32_t& Value);
  bool readI32(int32_t& Value);
  bool readUuid(lw::tGuid& Value);
  bool readBytes(size_t Count, std::span<const uint8_t>& Bytes);
  // A top-level [in, string] char parameter: max count, offset, actual count, then the characters. Fails
  // unless offset is 0, 1 <= actual <= max, the characters are there and the last one is the terminator
  // (the zero byte is not kept in Value). A zero byte before the last stops the string there, as the
  // platform's string copy does.
  bool readConformantVaryingString(std::string& Value);

  bool ok() const { return ok_; }
  size_t position() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  bool littleEndian() const { return littleEndian_; }

 private:
  bool take(size_t Count, const uint8_t*& Where);
  bool fail() { ok_ = false; return false; }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  bool littleEndian_;
  bool ok_ = true;
};

class NdrWriter {
 public:
  NdrWriter() = default;

  void align(size_t To);  // pads with zero bytes
  void writeU8(uint8_t Value);
  void writeU16(uint16_t Value);
  void writeU32(uint32_t Value);
  void writeI32(int32_t Value) { writeU32(static_cast<uint32_t>(Value)); }
  void writeUuid(const lw::tGuid& Value);
  void writeBytes(std::span<const uint8_t> Bytes);
  // max = actual = strlen + 1, offset 0, the characters and the terminator.
  void writeConformantVaryingString(const std::string& Value);

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> take() { return std::move(bytes_); }
  size_t size() const { return bytes_.size(); }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace lw::rpc
