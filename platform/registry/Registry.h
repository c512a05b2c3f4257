// The registry services the program calls: open a key of the local-machine hive, enumerate its subkeys
// by index, read and write one value, close.
//
// Names, argument order, flag values and status numbers (Win32 codes) are those of the platform's
// registry API, so the calling code reads as it would against the system. tRegistryApi is the one narrow
// interface; SystemRegistry() returns the implementation the build chose:
//   POSIX:   a hive file in the text format regedit exports (see platform/registry/posix/FileHiveStore.h);
//   Windows: advapi32.
// Tests of the code above substitute tScriptedRegistry (platform/registry/ScriptedRegistry.h).
//
// Handles are opaque: only HKEY_LOCAL_MACHINE and handles returned by RegOpenKeyExA are valid arguments.
// Every implementation is thread-safe. Nothing here creates or deletes keys.
#pragma once

#include <cstdint>

#include "platform/os/Types.h"

namespace lw::reg {

using LONG = int32_t;
using DWORD = uint32_t;
using REGSAM = uint32_t;
using BYTE = uint8_t;

struct tKeyHandle;  // never defined: handles are numbers that only the implementation interprets
using HKEY = tKeyHandle*;

// The predefined root with the platform's handle value (0x80000002, sign-extended on 64-bit builds).
inline HKEY const HKEY_LOCAL_MACHINE =
    reinterpret_cast<HKEY>(static_cast<intptr_t>(INT32_C(-2147483646)));

// Access rights.
inline constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
inline constexpr REGSAM KEY_SET_VALUE = 0x0002;
inline constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
inline constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr REGSAM KEY_NOTIFY = 0x0010;
inline constexpr REGSAM KEY_WOW64_64KEY = 0x0100;
inline constexpr REGSAM KEY_WOW64_32KEY = 0x0200;
inline constexpr REGSAM READ_CONTROL = 0x00020000;
inline constexpr REGSAM KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
inline constexpr REGSAM KEY_WRITE = READ_CONTROL | KEY_SET_VALUE | KEY_CREATE_SUB_KEY;
static_assert((KEY_READ | KEY_WOW64_32KEY) == 0x20219);
static_assert((KEY_WRITE | KEY_WOW64_32KEY) == 0x20206);

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;
inline constexpr DWORD REG_QWORD = 11;

// Status codes (Win32).
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr LONG ERROR_WRITE_FAULT = 29;
inline constexpr LONG ERROR_READ_FAULT = 30;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_DISK_FULL = 112;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;  // the hive cannot be used (POSIX: larger than we read)
inline constexpr LONG ERROR_KEY_DELETED = 1018;

class tRegistryApi {
 public:
  virtual ~tRegistryApi() = default;

  // Opens Key\SubKey (SubKey may be empty or null for Key itself; a trailing backslash is ignored).
  // Options must be 0. Gives ERROR_FILE_NOT_FOUND for a missing key and ERROR_ACCESS_DENIED when the
  // caller may not have the access asked for. *Result is set only on success.
  virtual LONG RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired, HKEY* Result) = 0;

  // The name of subkey number Index. *NameLength: in, the buffer's size in characters including the
  // terminating zero; out, the name's length without it. ERROR_MORE_DATA when the name does not fit,
  // ERROR_NO_MORE_ITEMS past the last subkey. Reserved must be null; Class, ClassLength and LastWrite may
  // be null (no implementation reports classes: *ClassLength is set to 0).
  virtual LONG RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved, char* Class,
                             DWORD* ClassLength, tFileTime* LastWrite) = 0;

  // Reads value Name ("" or null: the default value). *DataLength: in, the size of Data; out, the
  // value's size. Data null: only the size and type are reported. ERROR_MORE_DATA when Data is too small,
  // ERROR_FILE_NOT_FOUND when there is no such value. Reserved must be null; Type may be null.
  virtual LONG RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                                DWORD* DataLength) = 0;

  // Writes value Name, creating it when missing. Reserved must be 0.
  virtual LONG RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                              DWORD DataLength) = 0;

  virtual LONG RegCloseKey(HKEY Key) = 0;
};

// The implementation chosen by the build; lives for the whole process.
tRegistryApi& SystemRegistry();

}  // namespace lw::reg
