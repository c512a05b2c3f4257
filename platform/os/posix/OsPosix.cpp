// POSIX implementation of the process, thread and clock services.
#include <malloc.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "platform/os/DateTime.h"
#include "platform/os/Os.h"

namespace lw::os {

namespace {
thread_local uint32_t tLastError = 0;
// Seconds from 1601-01-01 to 1970-01-01.
constexpr uint64_t kEpochDeltaSeconds = 11644473600ULL;

std::string readLink(const std::string& Path) {
  char buf[PATH_MAX];
  const ssize_t n = ::readlink(Path.c_str(), buf, sizeof buf - 1);
  if (n <= 0) return {};
  return std::string(buf, static_cast<size_t>(n));
}
}  // namespace

uint32_t GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void Sleep(uint32_t Milliseconds) {
  timespec ts{static_cast<time_t>(Milliseconds / 1000), static_cast<long>(Milliseconds % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(::getpid()); }
uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(::syscall(SYS_gettid)); }

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t Code) { tLastError = Code; }

std::string ProgramFolder() {
  std::string exe = readLink("/proc/self/exe");
  const size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return "./";
  return exe.substr(0, slash + 1);
}

char PathSeparator() { return '/'; }

tFileTime CurrentUtcFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return tFileTime{(static_cast<uint64_t>(ts.tv_sec) + kEpochDeltaSeconds) * 10000000ULL +
                   static_cast<uint64_t>(ts.tv_nsec) / 100u};
}

std::string ProcessImageName(uint32_t ProcessId) {
  return readLink("/proc/" + std::to_string(ProcessId) + "/exe");
}

tFileTime FileTimeToLocalFileTime(tFileTime Utc) {
  // The offset in force now; looked up again when the second changes, since decoding calls this for
  // every event and the zone lookup is costly.
  thread_local time_t cachedSecond = -1;
  thread_local int64_t cachedOffset = 0;
  const time_t now = ::time(nullptr);
  if (now != cachedSecond) {
    tm local{};
    localtime_r(&now, &local);
    cachedOffset = static_cast<int64_t>(local.tm_gmtoff) * 10000000LL;
    cachedSecond = now;
  }
  return tFileTime{static_cast<uint64_t>(static_cast<int64_t>(Utc.Value) + cachedOffset)};
}

char TimeSeparator() { return ':'; }

void TuneAllocator() {
  mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
  mallopt(M_TOP_PAD, 64 * 1024 * 1024);
}

}  // namespace lw::os
