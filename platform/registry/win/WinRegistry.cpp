// The registry on Windows: every call goes to advapi32 as it stands.
//
// Our handle type carries the platform's handle values unchanged (HKEY_LOCAL_MACHINE has the platform's
// value), so handles pass through. The entry points are declared here from their documented signatures;
// no platform header is included, so our own names do not meet the SDK's macros.
#include <cstdint>

#include "platform/registry/Registry.h"

extern "C" {
__declspec(dllimport) long __stdcall RegOpenKeyExA(void* Key, const char* SubKey, unsigned long Options,
                                                   unsigned long Desired, void** Result);
__declspec(dllimport) long __stdcall RegEnumKeyExA(void* Key, unsigned long Index, char* Name,
                                                   unsigned long* NameLength, unsigned long* Reserved,
                                                   char* Class, unsigned long* ClassLength, void* LastWrite);
__declspec(dllimport) long __stdcall RegQueryValueExA(void* Key, const char* Name, unsigned long* Reserved,
                                                      unsigned long* Type, unsigned char* Data,
                                                      unsigned long* DataLength);
__declspec(dllimport) long __stdcall RegSetValueExA(void* Key, const char* Name, unsigned long Reserved,
                                                    unsigned long Type, const unsigned char* Data,
                                                    unsigned long DataLength);
__declspec(dllimport) long __stdcall RegCloseKey(void* Key);
}

namespace lw::reg {
namespace {

static_assert(sizeof(unsigned long) == sizeof(DWORD), "DWORD is 32 bits on Windows");

void* Native(HKEY Key) { return reinterpret_cast<void*>(Key); }
unsigned long* Native(DWORD* Value) { return reinterpret_cast<unsigned long*>(Value); }

class tWinRegistry final : public tRegistryApi {
 public:
  LONG RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired, HKEY* Result) override {
    if (Result == nullptr) return ERROR_INVALID_PARAMETER;
    void* Opened = nullptr;
    LONG Status = static_cast<LONG>(::RegOpenKeyExA(Native(Key), SubKey, Options, Desired, &Opened));
    if (Status == ERROR_SUCCESS) *Result = reinterpret_cast<HKEY>(Opened);
    return Status;
  }
  LONG RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved, char* Class,
                     DWORD* ClassLength, tFileTime* LastWrite) override {
    return static_cast<LONG>(::RegEnumKeyExA(Native(Key), Index, Name, Native(NameLength), Native(Reserved),
                                             Class, Native(ClassLength), LastWrite));
  }
  LONG RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                        DWORD* DataLength) override {
    return static_cast<LONG>(
        ::RegQueryValueExA(Native(Key), Name, Native(Reserved), Native(Type), Data, Native(DataLength)));
  }
  LONG RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                      DWORD DataLength) override {
    return static_cast<LONG>(::RegSetValueExA(Native(Key), Name, Reserved, Type, Data, DataLength));
  }
  LONG RegCloseKey(HKEY Key) override { return static_cast<LONG>(::RegCloseKey(Native(Key))); }
};

}  // namespace

tRegistryApi& SystemRegistry() {
  static tWinRegistry Registry;
  return Registry;
}

}  // namespace lw::reg
