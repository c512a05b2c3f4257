// File paths of the program's 8-bit texts.
//
// The program's paths are 8-bit texts: ANSI on Windows, bytes as the file system takes them (UTF-8) on
// POSIX. std::filesystem's own narrow conversion on Windows is not the ANSI code page, so paths go
// through the program's conversion there.
#pragma once

#include <filesystem>
#include <string>

#include "platform/os/CodePage.h"

namespace lw::etl {

inline std::filesystem::path PathFromText(const std::string& Text) {
#ifdef _WIN32
  return std::filesystem::path(lw::os::AnsiToWide(Text));
#else
  return std::filesystem::path(Text);
#endif
}

}  // namespace lw::etl
