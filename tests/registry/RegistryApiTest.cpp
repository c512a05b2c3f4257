// The registry calls as the registry panel makes them, run against every implementation of this build:
// the scripted one, and the system's (POSIX: the hive file; Windows: advapi32, keys made in the 32-bit
// view). The same expectations hold for all, so the stand-in answers as the platform does.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/os/Os.h"
#include "platform/registry/Registry.h"
#include "platform/registry/ScriptedRegistry.h"
#include "tests/registry/RegistryTestSupport.h"

namespace lw::reg {
namespace {

constexpr REGSAM kRead = KEY_READ | KEY_WOW64_32KEY;
constexpr REGSAM kWrite = KEY_WRITE | KEY_WOW64_32KEY;

class tScriptedBackend final : public tBackend {
 public:
  tRegistryApi& Api() override { return registry_; }
  void AddKey(const std::string& Path) override { registry_.AddKey(Path); }
  void SetDword(const std::string& Path, const std::string& Name, DWORD Value) override {
    registry_.SetDword(Path, Name, Value);
  }

 private:
  tScriptedRegistry registry_;
};

struct tBackendCase {
  const char* Name;
  std::function<std::unique_ptr<tBackend>()> Make;
};

std::vector<tBackendCase> Backends() {
  return {{"Scripted", [] { return std::unique_ptr<tBackend>(new tScriptedBackend); }},
          {"System", [] { return MakeSystemBackend(); }}};
}

class RegistryApi : public ::testing::TestWithParam<tBackendCase> {
 protected:
  void SetUp() override {
    backend_ = GetParam().Make();
    root_ = "SOFTWARE\\LogwardenTest-" + std::to_string(lw::os::GetCurrentProcessId());
    backend_->AddKey(root_ + "\\AppC");  // no DebugLevel
    backend_->SetDword(root_ + "\\AppA", "DebugLevel", 0);
    backend_->SetDword(root_ + "\\AppB", "DebugLevel", 0xFFFFFFFF);
    backend_->SetDword(root_ + "\\AppB", "Other", 42);
  }
  void TearDown() override { backend_.reset(); }

  tRegistryApi& Api() { return backend_->Api(); }

  HKEY Open(const std::string& SubKey, REGSAM Desired) {
    HKEY Key = nullptr;
    EXPECT_EQ(Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, SubKey.c_str(), 0, Desired, &Key), ERROR_SUCCESS)
        << SubKey;
    return Key;
  }
  // The stored DebugLevel read as the panel reads it, or the failing status as a negative number.
  int64_t ReadLevel(const std::string& App) {
    HKEY Key = nullptr;
    LONG Status = Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, (root_ + "\\" + App).c_str(), 0, kRead, &Key);
    if (Status != ERROR_SUCCESS) return -Status;
    DWORD Level = 0, Size = 4, Type = 0;
    Status = Api().RegQueryValueExA(Key, "DebugLevel", nullptr, &Type, reinterpret_cast<BYTE*>(&Level), &Size);
    EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);
    if (Status != ERROR_SUCCESS) return -Status;
    EXPECT_EQ(Type, REG_DWORD);
    EXPECT_EQ(Size, 4u);
    return Level;
  }

  std::unique_ptr<tBackend> backend_;
  std::string root_;
};

TEST_P(RegistryApi, EnumeratesSubkeysByIndexUntilTheEnd) {
  HKEY Root = Open(root_ + "\\", kRead);  // the trailing backslash as the panel passes it
  std::vector<std::string> Names;
  LONG Status = ERROR_SUCCESS;
  for (DWORD Index = 0; Index < 100; ++Index) {
    char Name[256];
    DWORD Size = sizeof Name;
    Status = Api().RegEnumKeyExA(Root, Index, Name, &Size, nullptr, nullptr, nullptr, nullptr);
    if (Status != ERROR_SUCCESS) break;
    EXPECT_EQ(Size, std::string(Name).size());
    Names.push_back(Name);
  }
  EXPECT_EQ(Status, ERROR_NO_MORE_ITEMS);
  EXPECT_EQ(Status, 259);
  EXPECT_EQ(Names, (std::vector<std::string>{"AppA", "AppB", "AppC"}));

  char Small[8];
  DWORD Size = 4;  // "AppA" needs 5 with its zero
  EXPECT_EQ(Api().RegEnumKeyExA(Root, 0, Small, &Size, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
  Size = 5;
  EXPECT_EQ(Api().RegEnumKeyExA(Root, 0, Small, &Size, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
  EXPECT_EQ(Size, 4u);
  EXPECT_EQ(Api().RegCloseKey(Root), ERROR_SUCCESS);
}

TEST_P(RegistryApi, ReadsDwordsAndReportsMissingOnes) {
  EXPECT_EQ(ReadLevel("AppA"), 0);
  EXPECT_EQ(ReadLevel("AppB"), 0xFFFFFFFF);
  EXPECT_EQ(ReadLevel("AppC"), -ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(ReadLevel("Missing"), -ERROR_FILE_NOT_FOUND);

  // Names compare without regard to case; a subkey opens relative to an open key.
  HKEY Root = Open(root_, kRead);
  HKEY Key = nullptr;
  ASSERT_EQ(Api().RegOpenKeyExA(Root, "appb", 0, kRead, &Key), ERROR_SUCCESS);
  DWORD Value = 0, Size = 4;
  EXPECT_EQ(Api().RegQueryValueExA(Key, "OTHER", nullptr, nullptr, reinterpret_cast<BYTE*>(&Value), &Size),
            ERROR_SUCCESS);
  EXPECT_EQ(Value, 42u);
  // Too small a buffer: the size needed comes back.
  uint16_t Half = 0;
  Size = 2;
  EXPECT_EQ(Api().RegQueryValueExA(Key, "DebugLevel", nullptr, nullptr, reinterpret_cast<BYTE*>(&Half), &Size),
            ERROR_MORE_DATA);
  EXPECT_EQ(Size, 4u);
  EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);
  EXPECT_EQ(Api().RegCloseKey(Root), ERROR_SUCCESS);
}

TEST_P(RegistryApi, WritesADwordAndReadsItBack) {
  struct tCase {
    const char* App;
    DWORD Level;
  };
  for (tCase C : {tCase{"AppC", 3}, tCase{"AppA", 0xFFFFFFFF}, tCase{"AppB", 0}}) {
    SCOPED_TRACE(C.App);
    HKEY Key = Open(root_ + "\\" + C.App, kWrite);
    EXPECT_EQ(Api().RegSetValueExA(Key, "DebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&C.Level), 4),
              ERROR_SUCCESS);
    EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);
    EXPECT_EQ(ReadLevel(C.App), C.Level);
  }
  // The other value of AppB is untouched.
  HKEY Key = Open(root_ + "\\AppB", kRead);
  DWORD Value = 0, Size = 4;
  EXPECT_EQ(Api().RegQueryValueExA(Key, "Other", nullptr, nullptr, reinterpret_cast<BYTE*>(&Value), &Size),
            ERROR_SUCCESS);
  EXPECT_EQ(Value, 42u);
  EXPECT_EQ(Api().RegCloseKey(Key), ERROR_SUCCESS);
}

TEST_P(RegistryApi, HandlesCarryTheirRights) {
  HKEY Key = nullptr;
  EXPECT_EQ(Api().RegOpenKeyExA(HKEY_LOCAL_MACHINE, (root_ + "\\Missing").c_str(), 0, kWrite, &Key),
            ERROR_FILE_NOT_FOUND);

  HKEY Read = Open(root_ + "\\AppA", kRead);
  DWORD Three = 3;
  EXPECT_EQ(Api().RegSetValueExA(Read, "DebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Three), 4),
            ERROR_ACCESS_DENIED);
  EXPECT_EQ(Api().RegCloseKey(Read), ERROR_SUCCESS);
  EXPECT_EQ(ReadLevel("AppA"), 0);

  HKEY Write = Open(root_, kWrite);
  char Name[256];
  DWORD Size = sizeof Name;
  EXPECT_EQ(Api().RegEnumKeyExA(Write, 0, Name, &Size, nullptr, nullptr, nullptr, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(Api().RegCloseKey(Write), ERROR_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(All, RegistryApi, ::testing::ValuesIn(Backends()),
                         [](const ::testing::TestParamInfo<tBackendCase>& Info) { return Info.param.Name; });

TEST(ScriptedRegistry, ScriptsFailuresAndRecordsWrites) {
  tScriptedRegistry Reg;
  Reg.SetDword("SOFTWARE\\Quendral\\AppA", "DebugLevel", 0);
  Reg.SetDword("SOFTWARE\\Quendral\\AppB", "DebugLevel", 0);
  Reg.FailOpen("software\\quendral\\appa", KEY_SET_VALUE, ERROR_ACCESS_DENIED);
  Reg.FailSet("SOFTWARE\\Quendral\\AppB", 1234);

  HKEY Key = nullptr;
  EXPECT_EQ(Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppA", 0, kWrite, &Key), ERROR_ACCESS_DENIED);
  ASSERT_EQ(Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppA", 0, kRead, &Key), ERROR_SUCCESS);
  EXPECT_EQ(Reg.RegCloseKey(Key), ERROR_SUCCESS);

  ASSERT_EQ(Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppB", 0, kWrite, &Key), ERROR_SUCCESS);
  DWORD Three = 3;
  EXPECT_EQ(Reg.RegSetValueExA(Key, "DebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&Three), 4), 1234);
  EXPECT_EQ(Reg.RegCloseKey(Key), ERROR_SUCCESS);
  EXPECT_EQ(Reg.Dword("SOFTWARE\\Quendral\\AppB", "DebugLevel"), 0u);
  ASSERT_EQ(Reg.Writes().size(), 1u);
  EXPECT_EQ(Reg.Writes()[0].Key, "HKEY_LOCAL_MACHINE\\SOFTWARE\\Quendral\\AppB");
  EXPECT_EQ(Reg.Writes()[0].Status, 1234);
  EXPECT_EQ(Reg.OpenHandleCount(), 0u);

  Reg.SetReadOnly(true);
  EXPECT_EQ(Reg.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Quendral\\AppB", 0, kWrite, &Key), ERROR_ACCESS_DENIED);
}

}  // namespace
}  // namespace lw::reg
