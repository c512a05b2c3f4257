// A registry to run the shared expectations against, with a way to make its keys and values.
#pragma once

#include <memory>
#include <string>

#include "platform/registry/Registry.h"

namespace lw::reg {

class tBackend {
 public:
  virtual ~tBackend() = default;
  virtual tRegistryApi& Api() = 0;
  // Paths below HKEY_LOCAL_MACHINE, made in the 32-bit view where there is one.
  virtual void AddKey(const std::string& Path) = 0;
  virtual void SetDword(const std::string& Path, const std::string& Name, DWORD Value) = 0;
};

// The system's registry of this build: POSIX, a hive file in a fresh temporary folder; Windows, advapi32
// (the keys made are deleted again when the backend goes).
std::unique_ptr<tBackend> MakeSystemBackend();

}  // namespace lw::reg
