#include "platform/registry/HiveRegistry.h"

#include <cstring>
#include <span>

namespace lw::reg {
namespace {

const tKeyPath kRootPath{"HKEY_LOCAL_MACHINE"};
constexpr REGSAM kWriteRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY;

uintptr_t IdOf(HKEY Key) { return reinterpret_cast<uintptr_t>(Key); }

}  // namespace

const tHiveRegistry::tOpenKey* tHiveRegistry::Find(HKEY Key) const {
  static const tOpenKey kRoot{kRootPath, ~REGSAM{0}};
  if (Key == HKEY_LOCAL_MACHINE) return &kRoot;
  auto It = keys_.find(IdOf(Key));
  return It == keys_.end() ? nullptr : &It->second;
}

LONG tHiveRegistry::RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired, HKEY* Result) {
  if (Result == nullptr || Options != 0) return ERROR_INVALID_PARAMETER;
  std::lock_guard Lock(mutex_);
  const tOpenKey* Base = Find(Key);
  if (Base == nullptr) return ERROR_INVALID_HANDLE;
  tOpenKey Opened{Base->Path, Desired};
  for (std::string& Part : SplitKeyPath(SubKey == nullptr ? "" : SubKey)) Opened.Path.push_back(std::move(Part));

  tHive Hive;
  if (LONG Status = store_.Load(Hive); Status != ERROR_SUCCESS) return Status;
  if (!Hive.KeyExists(Opened.Path)) return ERROR_FILE_NOT_FOUND;
  if ((Desired & kWriteRights) != 0) {
    if (LONG Status = store_.CheckWritable(); Status != ERROR_SUCCESS) return Status;
  }
  uintptr_t Id = next_;
  next_ += 0x10;
  keys_.emplace(Id, std::move(Opened));
  *Result = reinterpret_cast<HKEY>(Id);
  return ERROR_SUCCESS;
}

LONG tHiveRegistry::RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved,
                                  char* Class, DWORD* ClassLength, tFileTime* LastWrite) {
  if (Name == nullptr || NameLength == nullptr || Reserved != nullptr) return ERROR_INVALID_PARAMETER;
  std::lock_guard Lock(mutex_);
  const tOpenKey* Open = Find(Key);
  if (Open == nullptr) return ERROR_INVALID_HANDLE;
  if ((Open->Access & KEY_ENUMERATE_SUB_KEYS) == 0) return ERROR_ACCESS_DENIED;

  tHive Hive;
  if (LONG Status = store_.Load(Hive); Status != ERROR_SUCCESS) return Status;
  if (!Hive.KeyExists(Open->Path)) return ERROR_KEY_DELETED;
  std::vector<std::string> Names = Hive.SubKeys(Open->Path);
  if (Index >= Names.size()) return ERROR_NO_MORE_ITEMS;
  const std::string& Found = Names[Index];
  if (Found.size() + 1 > *NameLength) return ERROR_MORE_DATA;
  std::memcpy(Name, Found.c_str(), Found.size() + 1);
  *NameLength = static_cast<DWORD>(Found.size());
  if (ClassLength != nullptr) {
    if (Class != nullptr && *ClassLength > 0) Class[0] = '\0';
    *ClassLength = 0;
  }
  if (LastWrite != nullptr) *LastWrite = tFileTime{};  // the hive keeps no times
  return ERROR_SUCCESS;
}

LONG tHiveRegistry::RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                                     DWORD* DataLength) {
  if (Reserved != nullptr || (Data != nullptr && DataLength == nullptr)) return ERROR_INVALID_PARAMETER;
  std::lock_guard Lock(mutex_);
  const tOpenKey* Open = Find(Key);
  if (Open == nullptr) return ERROR_INVALID_HANDLE;
  if ((Open->Access & KEY_QUERY_VALUE) == 0) return ERROR_ACCESS_DENIED;

  tHive Hive;
  if (LONG Status = store_.Load(Hive); Status != ERROR_SUCCESS) return Status;
  if (!Hive.KeyExists(Open->Path)) return ERROR_KEY_DELETED;
  std::optional<tHiveValue> Value = Hive.Value(Open->Path, Name == nullptr ? "" : Name);
  if (!Value) return ERROR_FILE_NOT_FOUND;
  if (Type != nullptr) *Type = Value->Type;
  DWORD Size = static_cast<DWORD>(Value->Data.size());
  if (Data != nullptr) {
    if (*DataLength < Size) {
      *DataLength = Size;
      return ERROR_MORE_DATA;
    }
    if (Size > 0) std::memcpy(Data, Value->Data.data(), Size);
  }
  if (DataLength != nullptr) *DataLength = Size;
  return ERROR_SUCCESS;
}

LONG tHiveRegistry::RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                                   DWORD DataLength) {
  if (Reserved != 0 || (Data == nullptr && DataLength > 0)) return ERROR_INVALID_PARAMETER;
  std::lock_guard Lock(mutex_);
  const tOpenKey* Open = Find(Key);
  if (Open == nullptr) return ERROR_INVALID_HANDLE;
  if ((Open->Access & KEY_SET_VALUE) == 0) return ERROR_ACCESS_DENIED;

  tHive Hive;
  if (LONG Status = store_.Load(Hive); Status != ERROR_SUCCESS) return Status;
  if (!Hive.KeyExists(Open->Path)) return ERROR_KEY_DELETED;
  if (LONG Status = store_.CheckWritable(); Status != ERROR_SUCCESS) return Status;
  std::span<const uint8_t> Bytes;
  if (Data != nullptr) Bytes = std::span<const uint8_t>(Data, DataLength);
  Hive.SetValue(Open->Path, Name == nullptr ? "" : Name, Type, Bytes);
  return store_.Store(Hive);
}

LONG tHiveRegistry::RegCloseKey(HKEY Key) {
  if (Key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard Lock(mutex_);
  return keys_.erase(IdOf(Key)) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

std::optional<std::string> tHiveRegistry::PathOf(HKEY Key) const {
  std::lock_guard Lock(mutex_);
  const tOpenKey* Open = Find(Key);
  if (Open == nullptr) return std::nullopt;
  return JoinKeyPath(Open->Path);
}

size_t tHiveRegistry::OpenHandleCount() const {
  std::lock_guard Lock(mutex_);
  return keys_.size();
}

}  // namespace lw::reg
