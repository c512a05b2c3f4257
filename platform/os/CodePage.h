// 8-bit text in the system's ANSI code page, and its conversions.
//
// On POSIX the code page is Windows-1252; on Windows it is the system's ACP. Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lw::os {

// UTF-16 to ANSI. A character without an equivalent becomes one '?', a surrogate pair included; an
// unpaired surrogate also becomes '?'.
std::string WideToAnsi(std::u16string_view Text);
// Same, from raw little-endian UTF-16 bytes (Count code units at Bytes; no alignment needed).
std::string Utf16LeToAnsi(const uint8_t* Bytes, size_t Count);
std::u16string AnsiToWide(std::string_view Text);
std::string AnsiToUtf8(std::string_view Text);
// UTF-8 to ANSI; malformed sequences and characters without an equivalent become '?'.
std::string Utf8ToAnsi(std::string_view Text);

// Lower-casing by the rules of the ANSI code page (AnsiLowerCase of the class library).
std::string AnsiLowerCase(std::string_view Text);
std::string AnsiUpperCase(std::string_view Text);

}  // namespace lw::os
