// Builds supplier event payloads for tests: level word, file, line, category, message (UTF-16LE).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline void putU32(std::vector<uint8_t>& Out, uint32_t V) {
  for (int i = 0; i < 4; ++i) Out.push_back(static_cast<uint8_t>(V >> (8 * i)));
}
inline void putText(std::vector<uint8_t>& Out, const std::u16string& Text, bool Terminate = true) {
  for (char16_t u : Text) {
    Out.push_back(static_cast<uint8_t>(u & 0xFF));
    Out.push_back(static_cast<uint8_t>(u >> 8));
  }
  if (Terminate) {
    Out.push_back(0);
    Out.push_back(0);
  }
}
inline std::vector<uint8_t> supplierPayload(uint32_t LevelWord, const std::u16string& File, int32_t Line,
                                            int32_t Category, const std::u16string& Message) {
  std::vector<uint8_t> p;
  putU32(p, LevelWord);
  putText(p, File);
  putU32(p, static_cast<uint32_t>(Line));
  putU32(p, static_cast<uint32_t>(Category));
  putText(p, Message);
  return p;
}
