#include "server/SupplierRegistry.h"

#include <cstdio>
#include <utility>

tSupplierRegistry::tSupplierRegistry(tRegistryLock& Lock, tTickSource Ticks, tRegistryLog Log)
    : lock_(Lock), ticks_(std::move(Ticks)), log_(std::move(Log)) {}

tTraceRec* tSupplierRegistry::findRecord(uint32_t ProcessID, uint32_t SupplierID) {
  auto process = SupplierRegistry.find(ProcessID);
  if (process == SupplierRegistry.end()) return nullptr;
  auto record = process->second.find(SupplierID);
  if (record == process->second.end()) return nullptr;
  return &record->second;
}

int32_t tSupplierRegistry::RegisterSupplier(uint32_t ProcessID, const std::string& SupplierName,
                                            uint32_t SupplierID, int32_t Level,
                                            const std::string& AuxText1, const std::string& Settings,
                                            const std::string& AuxText2) {
  tRegistryGuard guard(lock_);
  tTraceRec& record = SupplierRegistry[ProcessID][SupplierID];
  record.ProcessID = ProcessID;
  record.SupplierID = SupplierID;
  record.SupplierName = SupplierName;
  record.Level = Level;
  record.Settings = Settings;
  record.AuxText2 = AuxText2;
  record.AuxText1 = AuxText1;
  record.Changed = false;
  // ExceptionSettings stays: empty in a new record, the operator's last value in a re-registered one.
  SupplierChanges.push_back({ProcessID, SupplierID});
  return 0;
}

const tTraceRec* tSupplierRegistry::GetNextSupplierChange() {
  if (!nextChangeCopy_) nextChangeCopy_.emplace();
  tTraceRec& copy = *nextChangeCopy_;

  tRegistryGuard guard(lock_);
  if (SupplierChanges.empty()) {
    for (auto it = LastPollTicks.begin(); it != LastPollTicks.end();) {
      if (TicksSince(ticks_(), it->second) > kPollTimeoutMs) {
        SupplierChanges.push_back({it->first, 0});
        it = LastPollTicks.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (SupplierChanges.empty()) return nullptr;

  const tSupplierRegInfo notice = SupplierChanges.front();
  SupplierChanges.pop_front();
  // The remaining fields keep what the previous call left; only the ids are meaningful for a removal.
  copy.ProcessID = notice.ProcessID;
  copy.SupplierID = 0;

  auto process = SupplierRegistry.find(notice.ProcessID);
  if (process != SupplierRegistry.end()) {
    if (notice.SupplierID == 0) {
      SupplierRegistry.erase(process);
    } else {
      auto record = process->second.find(notice.SupplierID);
      if (record != process->second.end()) {
        const tTraceRec& source = record->second;
        copy.SupplierID = source.SupplierID;
        copy.SupplierName = source.SupplierName;
        copy.Level = source.Level;
        copy.Settings = source.Settings;
        copy.ExceptionSettings = source.ExceptionSettings;
        copy.AuxText1 = source.AuxText1;
      }
    }
  }
  return &copy;
}

const tTraceRec* tSupplierRegistry::GetSupplierRec(uint32_t ProcessID, uint32_t SupplierID) {
  if (!supplierRecCopy_) supplierRecCopy_.emplace();
  tTraceRec& copy = *supplierRecCopy_;

  tRegistryGuard guard(lock_);
  const tTraceRec* source = findRecord(ProcessID, SupplierID);
  if (source == nullptr) return nullptr;
  copy.ProcessID = source->ProcessID;
  copy.SupplierID = source->SupplierID;
  copy.SupplierName = source->SupplierName;
  copy.Level = source->Level;
  copy.Settings = source->Settings;
  copy.ExceptionSettings = source->ExceptionSettings;
  copy.AuxText1 = source->AuxText1;
  return &copy;
}

void tSupplierRegistry::SetSupplierLevel(uint32_t ProcessID, uint32_t SupplierID, int32_t Level) {
  tRegistryGuard guard(lock_);
  if (tTraceRec* record = findRecord(ProcessID, SupplierID)) {
    record->Level = Level;
    record->Changed = true;
  }
}

void tSupplierRegistry::SetSupplierSettings(uint32_t ProcessID, uint32_t SupplierID, int32_t Level,
                                            const std::string& Settings,
                                            const std::string& ExceptionSettings) {
  tRegistryGuard guard(lock_);
  if (tTraceRec* record = findRecord(ProcessID, SupplierID)) {
    record->Level = Level;
    record->Settings = Settings;
    record->ExceptionSettings = ExceptionSettings;
    record->Changed = true;
  }
}

int32_t tSupplierRegistry::PollSupplier(uint32_t ProcessID, const tApplyTraceSettings& Push) {
  tRegistryGuard guard(lock_);
  auto process = SupplierRegistry.find(ProcessID);
  if (process == SupplierRegistry.end()) return 0;

  int32_t result = static_cast<int32_t>(process->second.size());
  bool broken = false;
  for (auto& [supplierId, record] : process->second) {
    if (!record.Changed) continue;
    const int32_t status = Push(record.SupplierID, record.Level, record.Settings, record.ExceptionSettings);
    if (status == 0) {
      record.Changed = false;
      continue;
    }
    // The supplier refused the values or could not be reached: the walk ends here.
    if (log_) log_(kLevelError, kBrokenSupplierLine, BrokenSupplierMessage(record.SupplierID, status));
    broken = true;
    break;
  }
  if (broken) {
    // Drop the whole process; the pending changes of its other suppliers go with it.
    SupplierChanges.push_back({ProcessID, 0});
    SupplierRegistry.erase(process);
    result = 0;
  }
  // Recorded also after a drop, so that the sweep queues a second removal notice later.
  LastPollTicks[ProcessID] = ticks_();
  return result;
}

tSupplierRegistryMap tSupplierRegistry::RegistrySnapshot() {
  tRegistryGuard guard(lock_);
  return SupplierRegistry;
}

tLastPollTicks tSupplierRegistry::PollTicksSnapshot() {
  tRegistryGuard guard(lock_);
  return LastPollTicks;
}

tSupplierChanges tSupplierRegistry::ChangesSnapshot() {
  tRegistryGuard guard(lock_);
  return SupplierChanges;
}

std::string BrokenSupplierMessage(uint32_t SupplierID, int32_t Status) {
  char text[96];
  std::snprintf(text, sizeof text, "Supplier: %d, Broken by client process, error code:%0X",
                static_cast<int>(static_cast<int32_t>(SupplierID)), static_cast<unsigned>(Status));
  return text;
}

std::string ModuleFileNamePart(const std::string& Path) {
  const auto cut = Path.find_last_of("\\:");
  return cut == std::string::npos ? Path : Path.substr(cut + 1);
}
