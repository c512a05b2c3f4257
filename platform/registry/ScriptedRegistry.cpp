#include "platform/registry/ScriptedRegistry.h"

namespace lw::reg {
namespace {

tKeyPath Below(std::string_view KeyPath) {
  tKeyPath Path{"HKEY_LOCAL_MACHINE"};
  for (std::string& Part : SplitKeyPath(KeyPath)) Path.push_back(std::move(Part));
  return Path;
}

bool SameKey(const tKeyPath& A, const tKeyPath& B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    if (!SameName(A[I], B[I])) return false;
  }
  return true;
}

}  // namespace

tScriptedRegistry::tScriptedRegistry() { SetHiveText("REGEDIT4\r\n\r\n"); }

void tScriptedRegistry::SetHiveText(std::string_view Text) { tHive::Parse(Text, store_.Hive); }

std::string tScriptedRegistry::HiveText() const { return store_.Hive.Text(); }

void tScriptedRegistry::AddKey(std::string_view KeyPath) {
  tKeyPath Key = Below(KeyPath);
  if (store_.Hive.KeyExists(Key)) return;
  std::string Text = store_.Hive.Text();
  if (!Text.empty() && Text.back() != '\n') Text += "\r\n";
  Text += "\r\n[" + JoinKeyPath(Key) + "]\r\n";
  SetHiveText(Text);
}

void tScriptedRegistry::SetDword(std::string_view KeyPath, std::string_view Name, DWORD Value) {
  AddKey(KeyPath);
  const uint8_t Bytes[4] = {static_cast<uint8_t>(Value), static_cast<uint8_t>(Value >> 8),
                            static_cast<uint8_t>(Value >> 16), static_cast<uint8_t>(Value >> 24)};
  store_.Hive.SetValue(Below(KeyPath), Name, REG_DWORD, Bytes);
}

std::optional<DWORD> tScriptedRegistry::Dword(std::string_view KeyPath, std::string_view Name) const {
  std::optional<tHiveValue> Value = store_.Hive.Value(Below(KeyPath), Name);
  if (!Value || Value->Type != REG_DWORD || Value->Data.size() != 4) return std::nullopt;
  const std::vector<uint8_t>& D = Value->Data;
  return DWORD{D[0]} | DWORD{D[1]} << 8 | DWORD{D[2]} << 16 | DWORD{D[3]} << 24;
}

void tScriptedRegistry::FailOpen(std::string_view KeyPath, REGSAM AnyOf, LONG Status) {
  openRules_.push_back({Below(KeyPath), AnyOf, Status});
}

void tScriptedRegistry::FailSet(std::string_view KeyPath, LONG Status) {
  setRules_.push_back({Below(KeyPath), 0, Status});
}

LONG tScriptedRegistry::RegOpenKeyExA(HKEY Key, const char* SubKey, DWORD Options, REGSAM Desired,
                                      HKEY* Result) {
  if (std::optional<std::string> Base = registry_.PathOf(Key)) {
    tKeyPath Path = SplitKeyPath(*Base);
    for (std::string& Part : SplitKeyPath(SubKey == nullptr ? "" : SubKey)) Path.push_back(std::move(Part));
    for (const tRule& Rule : openRules_) {
      if ((Desired & Rule.AnyOf) != 0 && SameKey(Rule.Key, Path)) return Rule.Status;
    }
  }
  return registry_.RegOpenKeyExA(Key, SubKey, Options, Desired, Result);
}

LONG tScriptedRegistry::RegEnumKeyExA(HKEY Key, DWORD Index, char* Name, DWORD* NameLength, DWORD* Reserved,
                                      char* Class, DWORD* ClassLength, tFileTime* LastWrite) {
  return registry_.RegEnumKeyExA(Key, Index, Name, NameLength, Reserved, Class, ClassLength, LastWrite);
}

LONG tScriptedRegistry::RegQueryValueExA(HKEY Key, const char* Name, DWORD* Reserved, DWORD* Type, BYTE* Data,
                                         DWORD* DataLength) {
  return registry_.RegQueryValueExA(Key, Name, Reserved, Type, Data, DataLength);
}

LONG tScriptedRegistry::RegSetValueExA(HKEY Key, const char* Name, DWORD Reserved, DWORD Type, const BYTE* Data,
                                       DWORD DataLength) {
  tWrite Write;
  Write.Key = registry_.PathOf(Key).value_or("");
  Write.Name = Name == nullptr ? "" : Name;
  Write.Type = Type;
  if (Data != nullptr) Write.Data.assign(Data, Data + DataLength);
  Write.Status = ERROR_SUCCESS;
  for (const tRule& Rule : setRules_) {
    if (SameKey(Rule.Key, SplitKeyPath(Write.Key))) {
      Write.Status = Rule.Status;
      break;
    }
  }
  if (Write.Status == ERROR_SUCCESS) Write.Status = registry_.RegSetValueExA(Key, Name, Reserved, Type, Data, DataLength);
  writes_.push_back(Write);
  return Write.Status;
}

LONG tScriptedRegistry::RegCloseKey(HKEY Key) { return registry_.RegCloseKey(Key); }

}  // namespace lw::reg
