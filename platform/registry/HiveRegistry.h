// The registry calls carried out on a hive in regedit text (tHive), wherever the hive is kept.
//
// tHiveStore says where: the POSIX build keeps it in a file (posix/FileHiveStore.h), tests keep it in
// memory (ScriptedRegistry.h). Every call loads the hive afresh, so changes made by other processes are
// seen at the next call, as with the system's registry; a write loads, edits and stores it again.
//
// There is one tree: KEY_WOW64_32KEY and KEY_WOW64_64KEY are accepted and name the same keys (the hive
// stand-in has no separate 32-bit view). Access is checked per handle as the platform does: enumeration
// needs KEY_ENUMERATE_SUB_KEYS, reading KEY_QUERY_VALUE, writing KEY_SET_VALUE; whether the caller may
// write at all is the store's answer, asked when a key is opened for writing and again at each write.
//
// Thread-safe: one lock around each call, so writes from threads of one process never lose each other.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/registry/Hive.h"
#include "platform/registry/Registry.h"

namespace lw::reg {

class tHiveStore {
 public:
  virtual ~tHiveStore() = default;
  // ERROR_SUCCESS with the hive (an empty one when there is none yet), or the status of the failure.
  virtual LONG Load(tHive& Out) = 0;
  // ERROR_SUCCESS when Store may be tried, ERROR_ACCESS_DENIED when the caller may not write the hive.
  virtual LONG CheckWritable() = 0;
  virtual LONG Store(const tHive& Hive) = 0;
};

class tHiveRegistry final : public tRegistryApi {
 public:
  explicit tHiveRegistry(tHiveStore& Store) : store_(Store) {}

  LONG RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired, HKEY* Result) override;
  LONG RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved, char* Class,
                     DWORD* ClassLength, tFileTime* LastWrite) override;
  LONG RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                        DWORD* DataLength) override;
  LONG RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                      DWORD DataLength) override;
  LONG RegCloseKey(HKEY Key) override;

  // The full path of an open handle ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), for the scripted registry's
  // failure rules; empty for an invalid handle.
  std::optional<std::string> PathOf(HKEY Key) const;
  size_t OpenHandleCount() const;

 private:
  struct tOpenKey {
    tKeyPath Path;
    REGSAM Access = 0;
  };
  // Null for an invalid handle. Caller holds mutex_.
  const tOpenKey* Find(HKEY Key) const;

  tHiveStore& store_;
  mutable std::mutex mutex_;
  std::map<uintptr_t, tOpenKey> keys_;
  uintptr_t next_ = 0x1000;
};

}  // namespace lw::reg
