// Windows implementation of the process, thread and clock services.
#include <windows.h>
#include <psapi.h>

#include <string>

#include "platform/os/DateTime.h"
#include "platform/os/Os.h"

namespace lw::os {

uint32_t GetTickCount() { return static_cast<uint32_t>(::GetTickCount()); }
void Sleep(uint32_t Milliseconds) { ::Sleep(Milliseconds); }
uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }
uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }
uint32_t GetLastError() { return static_cast<uint32_t>(::GetLastError()); }
void SetLastError(uint32_t Code) { ::SetLastError(Code); }

std::string ProgramFolder() {
  char buf[MAX_PATH + 1] = {};
  const DWORD n = ::GetModuleFileNameA(nullptr, buf, MAX_PATH);
  std::string exe(buf, n);
  const size_t sep = exe.find_last_of("\\/:");
  if (sep == std::string::npos) return ".\\";
  return exe.substr(0, sep + 1);
}

char PathSeparator() { return '\\'; }

tFileTime CurrentUtcFileTime() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  return tFileTime{static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime};
}

std::string ProcessImageName(uint32_t ProcessId) {
  HANDLE h = ::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ProcessId);
  if (h == nullptr) return {};
  char buf[MAX_PATH] = {};
  const DWORD n = ::GetModuleFileNameExA(h, nullptr, buf, MAX_PATH);
  ::CloseHandle(h);
  return std::string(buf, n);
}

tFileTime FileTimeToLocalFileTime(tFileTime Utc) {
  FILETIME in{static_cast<DWORD>(Utc.Value), static_cast<DWORD>(Utc.Value >> 32)};
  FILETIME out{};
  if (!::FileTimeToLocalFileTime(&in, &out)) return Utc;
  return tFileTime{static_cast<uint64_t>(out.dwHighDateTime) << 32 | out.dwLowDateTime};
}

void TuneAllocator() {}  // the system heap keeps freed blocks on its own

char TimeSeparator() {
  char buf[8] = {};
  if (::GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, buf, sizeof buf) > 0 && buf[0] != '\0')
    return buf[0];
  return ':';
}

}  // namespace lw::os
