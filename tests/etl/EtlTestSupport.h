// Shared helpers of the log-file tests: supplier payloads, a private temporary folder, file bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/etw/etl/Path.h"
#include "platform/etw/etl/Writer.h"
#include "platform/os/CodePage.h"
#include "platform/os/Os.h"
#include "platform/os/Types.h"

namespace lw::etl::test {

// The supplier event class.
inline constexpr tGuid kSupplierClass{0x8EC0B600, 0x00C8, 0x485F, {0xB2, 0xDA, 0xFB, 0x91, 0x21, 0xD1, 0x28, 0xBA}};
inline constexpr tGuid kOtherClass{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// 2024-05-06 07:08:09 UTC as a file time.
inline constexpr uint64_t kStartFileTime = 133594528890000000ull;
inline constexpr uint64_t kStartRaw = 5000000000ull;

// Level word, UTF-16 file, line, category, UTF-16 message; both texts with their terminators.
inline std::vector<uint8_t> SupplierPayload(uint32_t LevelWord, const std::u16string& File, int32_t Line,
                                            int32_t Category, const std::u16string& Message) {
  std::vector<uint8_t> p;
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) p.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto putText = [&](const std::u16string& t) {
    for (char16_t c : t) {
      p.push_back(static_cast<uint8_t>(c));
      p.push_back(static_cast<uint8_t>(c >> 8));
    }
    p.push_back(0);
    p.push_back(0);
  };
  put32(LevelWord);
  putText(File);
  put32(static_cast<uint32_t>(Line));
  put32(static_cast<uint32_t>(Category));
  putText(Message);
  return p;
}

inline tWriterOptions Options(uint32_t PointerSize = 8) {
  tWriterOptions o;
  o.LoggerName = "qdEventLogSession_1";
  o.StartTime = tFileTime{kStartFileTime};
  o.StartRaw = kStartRaw;
  o.PointerSize = PointerSize;
  o.MaximumFileSize = 0;
  o.LogFileMode = 0x00000001;
  o.ProcessId = 4242;
  o.ThreadId = 4343;
  return o;
}

// A folder of its own for each test, with a non-ASCII character in its name; removed at the end.
class tTempDir {
 public:
  tTempDir() {
    static std::atomic<int> counter{0};
    std::filesystem::path name(u8"lw-etl-t\u00e9st-");
    name += std::to_string(lw::os::GetCurrentProcessId()) + "-" + std::to_string(counter++);
    path_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~tTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  // As the program's 8-bit path text (ANSI on Windows).
  std::string File(const std::string& Name) const {
#ifdef _WIN32
    return lw::os::WideToAnsi((path_ / Name).u16string());
#else
    return (path_ / Name).string();
#endif
  }

 private:
  std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& Path) {
  std::ifstream f(PathFromText(Path), std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& Path, const std::vector<uint8_t>& Bytes) {
  std::ofstream f(PathFromText(Path), std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

}  // namespace lw::etl::test
