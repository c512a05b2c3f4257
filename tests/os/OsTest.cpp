#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/os/CodePage.h"
#include "platform/os/DateTime.h"
#include "platform/os/FileSystem.h"
#include "platform/os/Os.h"
#include "platform/os/Types.h"

using namespace lw;
using namespace lw::os;

namespace {

constexpr uint64_t kTicksPerDay = 864000000000ULL;
// 2026-12-11 00:00 UTC as a file time: 155572 days after 1601-01-01.
constexpr uint64_t kDec11 = 155572ULL * kTicksPerDay;

#ifndef _WIN32
// The zone is read per thread and cached for a second, so conversions under another zone run on a
// thread of their own.
template <typename F>
auto inZone(const char* Zone, F Fn) {
  const char* old = std::getenv("TZ");
  const std::string saved = old ? old : "";
  setenv("TZ", Zone, 1);
  tzset();
  decltype(Fn()) result{};
  std::thread([&] { result = Fn(); }).join();
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  return result;
}
#endif

}  // namespace

TEST(DateTime, FileTimeToTextAndValue) {
  struct Case {
    uint64_t FileTime;
    const char* Text;
    double Value;
  };
  const Case cases[] = {
      {kDec11, "11-12-2026 00:00:00.000", 46367.0},
      {kDec11 + 12 * 36000000000ULL, "11-12-2026 12:00:00.000", 46367.5},
      // Below a millisecond is dropped, not rounded.
      {kDec11 + (13ULL * 3600 + 45 * 60 + 7) * 10000000ULL + 1239999, "11-12-2026 13:45:07.123", -1},
      {kDec11 + kTicksPerDay - 1, "11-12-2026 23:59:59.999", -1},
      {109205ULL * kTicksPerDay, "30-12-1899 00:00:00.000", 0.0},
      {(109205ULL + 2) * kTicksPerDay, "01-01-1900 00:00:00.000", 2.0},
      {109266ULL * kTicksPerDay, "01-03-1900 00:00:00.000", 61.0},
      {155259ULL * kTicksPerDay + 1, "01-02-2026 00:00:00.000", 46054.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Text);
    tSystemTime st;
    ASSERT_TRUE(FileTimeToSystemTime(tFileTime{c.FileTime}, st));
    const tDateTime v = SystemTimeToDateTime(st);
    if (c.Value >= 0) {
      EXPECT_DOUBLE_EQ(v, c.Value);
    }
    EXPECT_EQ(FormatDateTime("dd-mm-yyyy hh:mm:ss.zzz", v), c.Text);
    EXPECT_EQ(SystemTimeToFileTime(st).Value, c.FileTime / 10000 * 10000);
  }
}

TEST(DateTime, LeapDaysAndWeekdays) {
  // 2024-02-29 exists, 2100-02-29 does not: the day after 2100-02-28 is 03-01.
  tSystemTime st{2024, 2, 0, 29, 0, 0, 0, 0};
  tSystemTime back;
  ASSERT_TRUE(FileTimeToSystemTime(SystemTimeToFileTime(st), back));
  EXPECT_EQ(back.Month, 2);
  EXPECT_EQ(back.Day, 29);
  EXPECT_EQ(back.DayOfWeek, 4);  // Thursday
  tSystemTime feb28{2100, 2, 0, 28, 0, 0, 0, 0};
  ASSERT_TRUE(FileTimeToSystemTime(tFileTime{SystemTimeToFileTime(feb28).Value + kTicksPerDay}, back));
  EXPECT_EQ(back.Month, 3);
  EXPECT_EQ(back.Day, 1);
  ASSERT_TRUE(FileTimeToSystemTime(tFileTime{kDec11}, back));
  EXPECT_EQ(back.DayOfWeek, 5);  // 2026-12-11 is a Friday
  EXPECT_FALSE(FileTimeToSystemTime(tFileTime{0x8000000000000000ULL}, back));
}

TEST(DateTime, RoundTripOfValueKeepsMilliseconds) {
  for (uint64_t ms : {0ULL, 1ULL, 999ULL, 43199999ULL, 86399999ULL}) {
    const tSystemTime st{2026, 12, 0, 11, static_cast<uint16_t>(ms / 3600000), static_cast<uint16_t>(ms / 60000 % 60),
                         static_cast<uint16_t>(ms / 1000 % 60), static_cast<uint16_t>(ms % 1000)};
    const tSystemTime back = DateTimeToSystemTime(SystemTimeToDateTime(st));
    EXPECT_EQ(back.Hour * 3600000ULL + back.Minute * 60000ULL + back.Second * 1000ULL + back.Milliseconds, ms);
    EXPECT_EQ(back.Day, 11);
  }
}

TEST(DateTime, FormatTokens) {
  const tDateTime v = SystemTimeToDateTime({2026, 3, 0, 4, 5, 6, 7, 8});
  EXPECT_EQ(FormatDateTime("d/m/yy h:n:s.z", v), "4/3/26 5:6:7.8");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd\"T\"hh:nn", v), "2026-03-04T05:06");
  EXPECT_EQ(FormatDateTime("hh:mm", v), "05:06");  // mm after hh is the minute
}

#ifndef _WIN32
TEST(DateTime, LocalTimeUsesTheOffsetInForceNow) {
  // A fixed zone two hours east of UTC.
  const uint64_t noon = kDec11 + 12 * 36000000000ULL;
  const std::string text = inZone("XYZ-2", [&] {
    return FormatDateTime("dd-mm-yyyy hh:mm:ss.zzz", UtcFileTimeToDateTime(tFileTime{noon}));
  });
  EXPECT_EQ(text, "11-12-2026 14:00:00.000");

  // With daylight saving, a winter and a summer date get the same offset: the one in force now.
  const uint64_t january = 155572ULL * kTicksPerDay - 334ULL * kTicksPerDay;  // 2026-01-11
  const uint64_t july = january + 181ULL * kTicksPerDay;                      // 2026-07-11
  const auto diff = inZone("CET-1CEST,M3.5.0,M10.5.0/3", [&] {
    return static_cast<int64_t>(FileTimeToLocalFileTime(tFileTime{july}).Value -
                                FileTimeToLocalFileTime(tFileTime{january}).Value);
  });
  EXPECT_EQ(diff, static_cast<int64_t>(181ULL * kTicksPerDay));
}
#endif

TEST(CodePage, WideToAnsi) {
  struct Case {
    std::u16string Wide;
    std::string Ansi;
  };
  const Case cases[] = {
      {u"", ""},
      {u"plain ASCII", "plain ASCII"},
      {u"caf\u00E9 \u00FF", "caf\xE9 \xFF"},
      {u"\u20AC \u201C\u201D \u0160\u0178", "\x80 \x93\x94 \x8A\x9F"},
      {u"\u03A9mega", "?mega"},                   // no Greek in the code page
      {u"a\U0001F600b", "a?b"},                   // a surrogate pair is one character
      {std::u16string(u"x") + char16_t(0xD800) + u"y", "x?y"},  // unpaired surrogate
      {std::u16string(u"\u0081"), "\x81"},        // unassigned byte kept as its C1 control
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WideToAnsi(c.Wide), c.Ansi);
    // Same through raw little-endian bytes.
    std::string bytes;
    for (char16_t u : c.Wide) {
      bytes += static_cast<char>(u & 0xFF);
      bytes += static_cast<char>(u >> 8);
    }
    EXPECT_EQ(Utf16LeToAnsi(reinterpret_cast<const uint8_t*>(bytes.data()), c.Wide.size()), c.Ansi);
  }
}

TEST(CodePage, AnsiToUnicodeAndBack) {
  std::string all;
  for (int b = 1; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(WideToAnsi(AnsiToWide(all)), all);
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
  EXPECT_EQ(AnsiToUtf8("\x80 \xE9"), "\xE2\x82\xAC \xC3\xA9");
  EXPECT_EQ(Utf8ToAnsi("\xE2\x82\xAC\xF0\x9F\x98\x80\xC3"), "\x80??");  // emoji, truncated sequence
}

TEST(CodePage, AnsiLowerAndUpperCase) {
  EXPECT_EQ(AnsiLowerCase("ABC xyz 09 [=]"), "abc xyz 09 [=]");
  EXPECT_EQ(AnsiLowerCase("\xC0\xC9\xDE\xD7\x8A\x8C\x8E\x9F"), "\xE0\xE9\xFE\xD7\x9A\x9C\x9E\xFF");
  EXPECT_EQ(AnsiUpperCase("\xE0\xE9\xFE\xF7\x9A\xFFq"), "\xC0\xC9\xDE\xF7\x8A\x9FQ");
  EXPECT_EQ(AnsiLowerCase("\xDF"), "\xDF");  // sharp s has no single-byte upper or lower partner
}

TEST(Guid, ParseFormatAndBytes) {
  const auto g = tGuid::Parse("{8ec0b600-00c8-485f-b2da-fb9121d128ba}");
  ASSERT_TRUE(g.has_value());
  EXPECT_EQ(g->Data1, 0x8EC0B600u);
  EXPECT_EQ(g->ToString(), "8EC0B600-00C8-485F-B2DA-FB9121D128BA");
  uint8_t bytes[16];
  g->ToBytes(bytes);
  EXPECT_EQ(bytes[0], 0x00);
  EXPECT_EQ(bytes[3], 0x8E);
  EXPECT_EQ(bytes[8], 0xB2);
  EXPECT_EQ(tGuid::FromBytes(bytes), *g);
  for (const char* bad : {"", "8EC0B600-00C8-485F-B2DA-FB9121D128B", "8EC0B600-00C8-485F-B2DA-FB9121D128BX",
                          "8EC0B60000C8-485F-B2DA-FB9121D128BA0", "{8EC0B600-00C8-485F-B2DA-FB9121D128BA"})
    EXPECT_FALSE(tGuid::Parse(bad).has_value()) << bad;
}

TEST(FileSystem, PatternMatching) {
  struct Case {
    const char* Name;
    const char* Pattern;
    bool Match;
  };
  const Case cases[] = {
      {"QD_VELDDLL.etl", "QD_VELDdll.etl", true},  // case does not matter
      {"qd_veldDll_001.ETL", "QD_VELDdll_???.etl", true},
      {"QD_VELDdll_1.etl", "QD_VELDdll_???.etl", true},  // '?' before '.' may match nothing
      {"QD_VELDdll_.etl", "QD_VELDdll_???.etl", true},
      {"QD_VELDdll_1234.etl", "QD_VELDdll_???.etl", false},
      {"QD_VELDdll_12.etlx", "QD_VELDdll_???.etl", false},
      {"QD_VELDdll.etl", "QD_VELDdll_???.etl", false},
      {"a.b", "a?b", true},  // an ordinary '?' matches any one character
      {"ab", "a?b", false},
      {"report.final.txt", "*.txt", true},
      {"x", "*", true},
      {"abc", "a*c*", true},
  };
  for (const auto& c : cases) EXPECT_EQ(MatchesPattern(c.Name, c.Pattern), c.Match) << c.Name << " ~ " << c.Pattern;
}

// Paths as the program holds them: 8-bit text in the ANSI code page on Windows (what the platform's "A"
// calls take), the file system's own bytes on POSIX.
std::string native(const std::filesystem::path& Path) {
#ifdef _WIN32
  return WideToAnsi(Path.u16string());
#else
  return Path.string();
#endif
}

class FileSystemDir : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           std::filesystem::u8path("lw-os-\xC3\xA9t\xC3\xA9-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void touch(const std::string& Name, size_t Size) {
    std::ofstream(dir_ / Name, std::ios::binary) << std::string(Size, 'x');
  }
  std::string folder() const { return native(dir_); }
  std::filesystem::path dir_;
};

TEST_F(FileSystemDir, FindsFilesAndFoldersByPattern) {
  touch("QD_VELDDLL.etl", 10);
  touch("QD_VELDdll_001.etl", 20);
  touch("QD_VELDdll_1234.etl", 30);
  std::filesystem::create_directory(dir_ / "QD_VELDdll_002.etl");
  const auto t = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(dir_ / "QD_VELDdll_001.etl", t);

  auto main = FindFiles(folder(), "QD_VELDdll.etl");
  ASSERT_EQ(main.size(), 1u);
  EXPECT_EQ(main[0].Name, "QD_VELDDLL.etl");
  EXPECT_EQ(main[0].Size, 10u);
  EXPECT_FALSE(main[0].IsDirectory);

  auto numbered = FindFiles(folder() + PathSeparator(), "QD_VELDdll_???.etl");
  ASSERT_EQ(numbered.size(), 2u);
  std::sort(numbered.begin(), numbered.end(), [](auto& a, auto& b) { return a.Name < b.Name; });
  EXPECT_EQ(numbered[0].Name, "QD_VELDdll_001.etl");
  EXPECT_EQ(numbered[0].Size, 20u);
  EXPECT_TRUE(numbered[1].IsDirectory);
  // The day-old file is older than the main file by about a day.
  const double hours = static_cast<double>(main[0].LastWrite.Value - numbered[0].LastWrite.Value) / 36e9;
  EXPECT_NEAR(hours, 24.0, 0.1);

  EXPECT_TRUE(FindFiles(folder(), "nothing*.etl").empty());
  EXPECT_TRUE(FindFiles(folder() + "/missing", "*").empty());
}

TEST_F(FileSystemDir, ForceDirectoriesCreatesParents) {
  const std::string deep = native(dir_ / "a" / "b" / "c");
  EXPECT_FALSE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep));
  EXPECT_TRUE(DirectoryExists(deep));
  EXPECT_TRUE(ForceDirectories(deep + PathSeparator()));  // already there
  touch("plain", 1);
  EXPECT_FALSE(ForceDirectories(native(dir_ / "plain" / "sub")));  // a file is in the way
}

TEST(Process, IdsAndNames) {
  EXPECT_NE(GetCurrentProcessId(), 0u);
  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), PathSeparator());
  const std::string image = ProcessImageName(GetCurrentProcessId());
  EXPECT_NE(image.find("os_tests"), std::string::npos) << image;
  EXPECT_EQ(image.rfind(folder, 0), 0u) << image;  // the image lives in the program's folder
  EXPECT_TRUE(ProcessImageName(0x7FFFFFF0u).empty());
  uint32_t other = 0;
  std::thread([&] { other = GetCurrentThreadId(); }).join();
  EXPECT_NE(other, GetCurrentThreadId());
  uint32_t seenElsewhere = 1;
  std::thread([&] {
    SetLastError(5);
    seenElsewhere = GetLastError();
  }).join();
  SetLastError(87);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(seenElsewhere, 5u);  // per thread
}
