// A registry for tests of the code that calls tRegistryApi: the hive is held in memory as regedit text,
// the calls behave as the POSIX implementation's (same tHiveRegistry), and failures can be scripted.
//
//   tScriptedRegistry Reg;
//   Reg.SetDword("SOFTWARE\\Quendral\\AppA", "DebugLevel", 0);
//   Reg.AddKey("SOFTWARE\\Quendral\\AppC");
//   Reg.FailOpen("SOFTWARE\\Quendral\\AppB", KEY_SET_VALUE, ERROR_ACCESS_DENIED);
//
// Key paths given to the script are below HKEY_LOCAL_MACHINE and compare without regard to case. Every
// RegSetValueExA is recorded, failed ones included. Set the script up before the code under test runs;
// the calls themselves are thread-safe, the script set-up is not.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/HiveRegistry.h"

namespace lw::reg {

class tScriptedRegistry final : public tRegistryApi {
 public:
  struct tWrite {
    std::string Key;  // full path, "HKEY_LOCAL_MACHINE\..."
    std::string Name;
    DWORD Type = 0;
    std::vector<uint8_t> Data;
    LONG Status = ERROR_SUCCESS;
  };

  tScriptedRegistry();  // an empty hive

  void SetHiveText(std::string_view Text);
  std::string HiveText() const;

  // Adds the key (and so its parents) if missing.
  void AddKey(std::string_view KeyPath);
  // Adds the key if missing and sets the value.
  void SetDword(std::string_view KeyPath, std::string_view Name, DWORD Value);
  std::optional<DWORD> Dword(std::string_view KeyPath, std::string_view Name) const;

  // Opening KeyPath asking for any of the rights in AnyOf fails with Status.
  void FailOpen(std::string_view KeyPath, REGSAM AnyOf, LONG Status);
  // Writing any value of KeyPath fails with Status (the hive stays as it is).
  void FailSet(std::string_view KeyPath, LONG Status);
  // The caller may not write the hive at all: opening for writing and writing give ERROR_ACCESS_DENIED.
  void SetReadOnly(bool ReadOnly) { store_.ReadOnly = ReadOnly; }

  const std::vector<tWrite>& Writes() const { return writes_; }
  // Handles opened and not yet closed.
  size_t OpenHandleCount() const { return registry_.OpenHandleCount(); }

  LONG RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired, HKEY* Result) override;
  LONG RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved, char* Class,
                     DWORD* ClassLength, tFileTime* LastWrite) override;
  LONG RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                        DWORD* DataLength) override;
  LONG RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                      DWORD DataLength) override;
  LONG RegCloseKey(HKEY Key) override;

 private:
  struct tMemoryStore final : tHiveStore {
    LONG Load(tHive& Out) override {
      Out = Hive;
      return ERROR_SUCCESS;
    }
    LONG CheckWritable() override { return ReadOnly ? ERROR_ACCESS_DENIED : ERROR_SUCCESS; }
    LONG Store(const tHive& NewHive) override {
      Hive = NewHive;
      return ERROR_SUCCESS;
    }
    tHive Hive;
    bool ReadOnly = false;
  };
  struct tRule {
    tKeyPath Key;
    REGSAM AnyOf = 0;  // FailOpen only
    LONG Status = ERROR_SUCCESS;
  };

  tMemoryStore store_;
  tHiveRegistry registry_{store_};
  std::vector<tRule> openRules_;
  std::vector<tRule> setRules_;
  std::vector<tWrite> writes_;
};

}  // namespace lw::reg
