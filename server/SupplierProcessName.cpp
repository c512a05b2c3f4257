// GetProcessName: the executable's file name of a supplier process, for the supplier panel's captions.
#include <string>

#include "server/SupplierRegistry.h"

#ifdef _WIN32
#include <windows.h>
// psapi.h needs windows.h first.
#include <psapi.h>
#else
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

constexpr DWORD kModuleNameLength = 260;

}  // namespace

std::string GetProcessName(uint32_t ProcessID) {
  std::string result = "PID: " + std::to_string(ProcessID);
  // Query information and read memory (0x410), not inheritable.
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ProcessID);
  if (process != nullptr) {
    char path[kModuleNameLength];
    const DWORD length = GetModuleFileNameExA(process, nullptr, path, kModuleNameLength);
    if (length != 0) result = ModuleFileNamePart(std::string(path, length));
    CloseHandle(process);
  }
  return result;
}

#else

std::string GetProcessName(uint32_t ProcessID) {
  std::string result = "PID: " + std::to_string(ProcessID);
  const std::string link = "/proc/" + std::to_string(ProcessID) + "/exe";
  char path[4096];
  const ssize_t length = readlink(link.c_str(), path, sizeof path);
  if (length > 0 && static_cast<size_t>(length) < sizeof path) {
    std::string target(path, static_cast<size_t>(length));
    // An executable replaced or removed while running is shown with this suffix.
    const std::string deleted = " (deleted)";
    if (target.size() > deleted.size() && target.ends_with(deleted)) target.resize(target.size() - deleted.size());
    const auto cut = target.find_last_of('/');
    std::string name = cut == std::string::npos ? target : target.substr(cut + 1);
    if (!name.empty()) result = name;
  }
  return result;
}

#endif
