// The hive file of the POSIX build as a product: what a write leaves in the file, who may write it, and
// what two writing processes leave behind.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>

#include "platform/registry/HiveRegistry.h"
#include "platform/registry/posix/FileHiveStore.h"

namespace lw::reg {
namespace {

namespace fs = std::filesystem;

constexpr REGSAM kRead = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM kWrite = KEY_WRITE | KEY_WOW64_32KEY;

const std::string kHive =
    "REGEDIT4\r\n"
    "\r\n"
    "; kept as it is\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppA]\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\AppA\"\r\n"
    "\"DebugLevel\"=dword:00000000\r\n"
    "\"Blob\"=hex:00,01,02,\\\r\n"
    "  03\r\n"
    "something we do not know\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppC]\r\n"
    "\r\n";

std::string ReadFile(const std::string& Path) {
  std::ifstream In(Path, std::ios::binary);
  std::ostringstream Out;
  Out << In.rdbuf();
  return Out.str();
}

void WriteFile(const std::string& Path, const std::string& Text) {
  std::ofstream Out(Path, std::ios::binary | std::ios::trunc);
  Out << Text;
}

class HiveFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char Template[] = "/tmp/lw-hive-XXXXXX";
    const char* Made = mkdtemp(Template);
    ASSERT_NE(Made, nullptr);
    folder_ = Made;
    path_ = folder_ + "/HKEY_LOCAL_MACHINE.reg";
    WriteFile(path_, kHive);
  }
  void TearDown() override {
    chmod(folder_.c_str(), 0700);
    std::error_code Ignored;
    fs::remove_all(folder_, Ignored);
  }

  static LONG SetLevel(tRegistryApi& Api, const char* App, DWORD Level) {
    HKEY Key = nullptr;
    std::string Path = std::string("SOFTWARE\\Quendral\\") + App;
    LONG Status = Api.RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path.c_str(), 0, kWrite, &Key);
    if (Status != ERROR_SUCCESS) return Status;
    Status = Api.RegSetValueExA(Key, "DebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Level), 4);
    Api.RegCloseKey(Key);
    return Status;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(HiveFile, AWriteChangesOneLineAndLeavesNoTemporaryFile) {
  chmod(path_.c_str(), 0640);
  tFileHiveStore Store(path_);
  tHiveRegistry Reg(Store);
  ASSERT_EQ(SetLevel(Reg, "appa", 3), ERROR_SUCCESS);
  ASSERT_EQ(SetLevel(Reg, "AppC", 0xFFFFFFFF), ERROR_SUCCESS);

  std::string Expected = kHive;
  Expected.replace(Expected.find("dword:00000000"), 14, "dword:00000003");
  Expected.replace(Expected.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppC]\r\n") + 45, 0,
                   "\"DebugLevel\"=dword:ffffffff\r\n");
  EXPECT_EQ(ReadFile(path_), Expected);

  int Entries = 0;
  for (const auto& Entry : fs::directory_iterator(folder_)) {
    EXPECT_EQ(Entry.path().filename(), "HKEY_LOCAL_MACHINE.reg");
    ++Entries;
  }
  EXPECT_EQ(Entries, 1);
  struct stat St {};
  ASSERT_EQ(stat(path_.c_str(), &St), 0);
  EXPECT_EQ(St.st_mode & 07777, 0640u);
}

TEST_F(HiveFile, AWriteThroughALinkReplacesItsTarget) {
  std::string Link = folder_ + "/link.reg";
  ASSERT_EQ(symlink(path_.c_str(), Link.c_str()), 0);
  tFileHiveStore Store(Link);
  tHiveRegistry Reg(Store);
  ASSERT_EQ(SetLevel(Reg, "AppA", 3), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_symlink(Link));
  EXPECT_NE(ReadFile(path_).find("\"DebugLevel\"=dword:00000003"), std::string::npos);
}

TEST_F(HiveFile, AMissingHiveHasNoKeysAndIsNotCreated) {
  std::string Missing = folder_ + "/none.reg";
  tFileHiveStore Store(Missing);
  tHiveRegistry Reg(Store);
  HKEY Key = nullptr;
  EXPECT_EQ(Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\", 0, kRead, &Key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(SetLevel(Reg, "AppA", 3), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(Missing));
}

TEST_F(HiveFile, TheVariableNamesTheHive) {
  const char* Old = std::getenv("LOGWARDEN_REGISTRY");
  std::string Saved = Old == nullptr ? "" : Old;
  setenv("LOGWARDEN_REGISTRY", path_.c_str(), 1);
  HKEY Key = nullptr;
  EXPECT_EQ(SystemRegistry().RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppC", 0, kRead, &Key),
            ERROR_SUCCESS);
  EXPECT_EQ(SystemRegistry().RegCloseKey(Key), ERROR_SUCCESS);
  setenv("LOGWARDEN_REGISTRY", "", 1);
  EXPECT_EQ(tFileHiveStore().HivePath(), kDefaultHivePath);
  if (Old == nullptr) {
    unsetenv("LOGWARDEN_REGISTRY");
  } else {
    setenv("LOGWARDEN_REGISTRY", Saved.c_str(), 1);
  }
}

// Runs Body in a child process with the rights of an ordinary user (root's rights would open every file);
// the child's exit code is Body's result.
int AsOrdinaryUser(const std::function<int()>& Body) {
  pid_t Child = fork();
  if (Child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
    _exit(Body());
  }
  int Status = 0;
  waitpid(Child, &Status, 0);
  return WIFEXITED(Status) ? WEXITSTATUS(Status) : 101;
}

TEST_F(HiveFile, AHiveTheCallerMayNotWriteGivesAccessDenied) {
  chmod(folder_.c_str(), 0755);
  chmod(path_.c_str(), 0644);
  if (geteuid() != 0) {
    chmod(path_.c_str(), 0444);
    chmod(folder_.c_str(), 0555);
  }
  std::string Path = path_;
  int Result = AsOrdinaryUser([Path] {
    tFileHiveStore Store(Path);
    tHiveRegistry Reg(Store);
    // Reading works.
    HKEY Key = nullptr;
    if (Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppA", 0, kRead, &Key) != ERROR_SUCCESS) return 1;
    DWORD Level = 9, Size = 4;
    if (Reg.RegQueryValueExA(Key, "DebugLevel", nullptr, nullptr, reinterpret_cast<BYTE*>(&Level), &Size) != 0 ||
        Level != 0)
      return 2;
    Reg.RegCloseKey(Key);
    // Writing does not.
    return SetLevel(Reg, "AppA", 3) == ERROR_ACCESS_DENIED ? 0 : 3;
  });
  EXPECT_EQ(Result, 0);
  EXPECT_EQ(ReadFile(path_), kHive);
}

TEST_F(HiveFile, AFolderWithoutRoomForTheTemporaryFileGivesAccessDenied) {
  // The hive itself is writable, but the atomic replacement needs its folder.
  chmod(path_.c_str(), 0666);
  chmod(folder_.c_str(), 0555);
  std::string Path = path_;
  int Result = AsOrdinaryUser([Path] {
    tFileHiveStore Store(Path);
    tHiveRegistry Reg(Store);
    return SetLevel(Reg, "AppA", 3) == ERROR_ACCESS_DENIED ? 0 : 1;
  });
  EXPECT_EQ(Result, 0);
  EXPECT_EQ(ReadFile(path_), kHive);
}

TEST_F(HiveFile, AHiveTheCallerMayNotReadGivesAccessDenied) {
  chmod(path_.c_str(), 0600);
  if (geteuid() != 0) chmod(path_.c_str(), 0000);
  std::string Path = path_;
  int Result = AsOrdinaryUser([Path] {
    tFileHiveStore Store(Path);
    tHiveRegistry Reg(Store);
    HKEY Key = nullptr;
    return Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\", 0, kRead, &Key) == ERROR_ACCESS_DENIED ? 0
                                                                                                            : 1;
  });
  EXPECT_EQ(Result, 0);
}

TEST_F(HiveFile, TwoWritingProcessesLeaveAWholeFile) {
  // Each process writes its own key again and again while this one reads: every read finds the whole
  // file, both keys and a value of each. Which write of the other process survives is not asserted: the
  // last writer wins.
  constexpr int kWrites = 150;
  pid_t Writers[2];
  const char* Apps[2] = {"AppA", "AppC"};
  for (int W = 0; W < 2; ++W) {
    Writers[W] = fork();
    if (Writers[W] == 0) {
      tFileHiveStore Store(path_);
      tHiveRegistry Reg(Store);
      for (DWORD I = 1; I <= kWrites; ++I) {
        if (SetLevel(Reg, Apps[W], I) != ERROR_SUCCESS) _exit(1);
      }
      _exit(0);
    }
  }
  int Reads = 0;
  bool Done[2] = {false, false};
  int ExitStatus[2] = {-1, -1};
  for (;;) {
    for (int W = 0; W < 2; ++W) {
      int Status = 0;
      if (!Done[W] && waitpid(Writers[W], &Status, WNOHANG) == Writers[W]) {
        Done[W] = true;
        ExitStatus[W] = WIFEXITED(Status) ? WEXITSTATUS(Status) : 102;
      }
    }
    std::string Text = ReadFile(path_);
    tHive Hive;
    ASSERT_EQ(tHive::Parse(Text, Hive), tHiveStatus::Ok);
    EXPECT_TRUE(Hive.Value({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", "AppA"}, "Path").has_value());
    EXPECT_TRUE(Hive.KeyExists({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", "AppC"}));
    EXPECT_NE(Text.find("something we do not know\r\n"), std::string::npos);
    ++Reads;
    if ((Done[0] && Done[1]) || Reads > 100000) break;
  }
  for (int W = 0; W < 2; ++W) {
    int Status = 0;
    if (!Done[W] && waitpid(Writers[W], &Status, 0) == Writers[W]) ExitStatus[W] = WIFEXITED(Status) ? WEXITSTATUS(Status) : 102;
  }
  EXPECT_EQ(ExitStatus[0], 0);
  EXPECT_EQ(ExitStatus[1], 0);
  tHive Hive;
  tHive::Parse(ReadFile(path_), Hive);
  // The last write of each process was a full file; at least the later one's own value is final.
  auto Level = [&](const char* App) {
    std::optional<tHiveValue> V = Hive.Value({"HKEY_LOCAL_MACHINE", "SOFTWARE", "Quendral", App}, "DebugLevel");
    return V && V->Data.size() == 4 ? V->Data[0] : 0;
  };
  EXPECT_TRUE(Level("AppA") == kWrites || Level("AppC") == kWrites);
  int Leftovers = 0;
  for (const auto& Entry : fs::directory_iterator(folder_)) Leftovers += Entry.path().filename() != "HKEY_LOCAL_MACHINE.reg";
  EXPECT_EQ(Leftovers, 0);
}

}  // namespace
}  // namespace lw::reg
