// The POSIX stand-in for the local-machine hive: one file in regedit text format, named by
// $LOGWARDEN_REGISTRY, or /etc/logwarden/HKEY_LOCAL_MACHINE.reg when that is unset or empty (looked up at
// every call, so the variable may change while the program runs).
//
// Load reads the file whole; a missing file is an empty hive (every key below the root is missing), a
// file the caller may not read gives ERROR_ACCESS_DENIED. Store writes a temporary file in the same
// folder and renames it over the hive, so readers see the old or the new text and never part of one, also
// after a crash; the hive keeps its permissions (and, when written by root, its owner). A symbolic link is
// followed and its target replaced.
//
// CheckWritable gives ERROR_ACCESS_DENIED when the caller may not write the file, or may not create the
// temporary file beside it.
//
// Two processes writing at the same time: each write reads the hive, edits it and renames the result in
// place, so the file always holds one writer's whole text; the last writer wins, and a change another
// process made between that writer's read and its rename is lost. Writes within one process are
// serialised by tHiveRegistry.
#pragma once

#include <string>

#include "platform/registry/HiveRegistry.h"

namespace lw::reg {

inline constexpr const char* kDefaultHivePath = "/etc/logwarden/HKEY_LOCAL_MACHINE.reg";

class tFileHiveStore final : public tHiveStore {
 public:
  // Path empty: the variable or the default, as above.
  explicit tFileHiveStore(std::string Path = {}) : path_(std::move(Path)) {}

  std::string HivePath() const;

  LONG Load(tHive& Out) override;
  LONG CheckWritable() override;
  LONG Store(const tHive& Hive) override;

 private:
  std::string path_;
};

}  // namespace lw::reg
