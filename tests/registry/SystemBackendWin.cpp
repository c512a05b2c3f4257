// The system backend of the Windows build: keys made with advapi32 itself in the 32-bit view, below a
// key of this test process's own, deleted again at the end.
#include <gtest/gtest.h>

#include <string>

#include "platform/os/Os.h"
#include "tests/registry/RegistryTestSupport.h"

extern "C" {
__declspec(dllimport) long __stdcall RegCreateKeyExA(void* Key, const char* SubKey, unsigned long Reserved,
                                                     char* Class, unsigned long Options, unsigned long Desired,
                                                     void* Security, void** Result, unsigned long* Disposition);
__declspec(dllimport) long __stdcall RegOpenKeyExA(void* Key, const char* SubKey, unsigned long Options,
                                                   unsigned long Desired, void** Result);
__declspec(dllimport) long __stdcall RegSetValueExA(void* Key, const char* Name, unsigned long Reserved,
                                                    unsigned long Type, const unsigned char* Data,
                                                    unsigned long DataLength);
__declspec(dllimport) long __stdcall RegDeleteTreeA(void* Key, const char* SubKey);
__declspec(dllimport) long __stdcall RegCloseKey(void* Key);
}

namespace lw::reg {
namespace {

constexpr unsigned long kAllAccess = 0xF003F;

void* Hklm() { return reinterpret_cast<void*>(HKEY_LOCAL_MACHINE); }

std::string TestKeyName() { return "LogwardenTest-" + std::to_string(lw::os::GetCurrentProcessId()); }

class tWinBackend final : public tBackend {
 public:
  ~tWinBackend() override {
    void* Software = nullptr;
    if (::RegOpenKeyExA(Hklm(), "SOFTWARE", 0, kAllAccess | KEY_WOW64_32KEY, &Software) == 0) {
      ::RegDeleteTreeA(Software, TestKeyName().c_str());
      ::RegCloseKey(Software);
    }
  }
  tRegistryApi& Api() override { return SystemRegistry(); }
  void AddKey(const std::string& Path) override { ::RegCloseKey(Create(Path)); }
  void SetDword(const std::string& Path, const std::string& Name, DWORD Value) override {
    void* Key = Create(Path);
    EXPECT_EQ(::RegSetValueExA(Key, Name.c_str(), 0, REG_DWORD, reinterpret_cast<const unsigned char*>(&Value), 4),
              0);
    ::RegCloseKey(Key);
  }

 private:
  static void* Create(const std::string& Path) {
    void* Key = nullptr;
    EXPECT_EQ(::RegCreateKeyExA(Hklm(), Path.c_str(), 0, nullptr, 0, kAllAccess | KEY_WOW64_32KEY, nullptr, &Key,
                                nullptr),
              0)
        << Path;
    return Key;
  }
};

// The layer passes the caller's view on: a key made in the 32-bit view is found there and not in the
// 64-bit one.
TEST(WindowsRegistry, TheThirtyTwoBitViewIsTheOneAskedFor) {
  tWinBackend Backend;
  const std::string Path = "SOFTWARE\\" + TestKeyName() + "\\ViewCheck";
  Backend.AddKey(Path);
  HKEY Key = nullptr;
  ASSERT_EQ(SystemRegistry().RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, &Key),
            ERROR_SUCCESS);
  EXPECT_EQ(SystemRegistry().RegCloseKey(Key), ERROR_SUCCESS);
  EXPECT_EQ(SystemRegistry().RegOpenKeyExA(HKEY_LOCAL_MACHINE, Path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &Key),
            ERROR_FILE_NOT_FOUND);
}

}  // namespace

std::unique_ptr<tBackend> MakeSystemBackend() { return std::make_unique<tWinBackend>(); }

}  // namespace lw::reg
