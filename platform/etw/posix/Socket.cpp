#include "platform/etw/posix/Socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace lw::etw::posix {

std::string SessionDir() {
  const char* env = std::getenv("LOGWARDEN_ETW_DIR");
  std::string dir = (env != nullptr && *env != '\0') ? env : "/tmp/logwarden-etw";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

bool ValidSessionName(const std::string& Name) {
  if (Name.empty() || Name.size() > wire::kMaxText) return false;
  if (Name == "." || Name == "..") return false;
  return Name.find('/') == std::string::npos && Name.find('\0') == std::string::npos;
}

std::string SocketPath(const std::string& Dir, const std::string& Name) { return Dir + "/" + Name + ".sock"; }
std::string LockPath(const std::string& Dir, const std::string& Name) { return Dir + "/" + Name + ".lock"; }

std::string HandleLinkPath(const std::string& Dir, uint64_t Handle) {
  char name[40];
  std::snprintf(name, sizeof name, "/.handle-%016llx", static_cast<unsigned long long>(Handle));
  return Dir + name;
}

uint32_t StatusFromErrno(int Error) {
  switch (Error) {
    case 0:
      return ERROR_SUCCESS;
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_BAD_PATHNAME;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    default:
      return ERROR_INVALID_DATA;
  }
}

int ConnectSession(const std::string& Path, uint32_t& Status) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (Path.size() >= sizeof(addr.sun_path)) {
    Status = ERROR_BAD_PATHNAME;
    return -1;
  }
  std::memcpy(addr.sun_path, Path.c_str(), Path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    Status = StatusFromErrno(errno);
    return -1;
  }
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int e = errno;
    ::close(fd);
    Status = (e == EACCES || e == EPERM) ? ERROR_ACCESS_DENIED : ERROR_WMI_INSTANCE_NOT_FOUND;
    return -1;
  }
  Status = ERROR_SUCCESS;
  return fd;
}

bool SendAll(int Fd, std::span<const uint8_t> Bytes) {
  size_t done = 0;
  while (done < Bytes.size()) {
    ssize_t n = ::send(Fd, Bytes.data() + done, Bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd p{Fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
        continue;
      }
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

namespace {

bool ReadExact(int Fd, uint8_t* Out, size_t N, int TimeoutMs) {
  size_t done = 0;
  while (done < N) {
    pollfd p{Fd, POLLIN, 0};
    int rc = ::poll(&p, 1, TimeoutMs);
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) return false;
    ssize_t n = ::read(Fd, Out + done, N - done);  // also serves pipes
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ReadFrame(int Fd, std::vector<uint8_t>& Frame, int TimeoutMs) {
  uint8_t len[4];
  if (!ReadExact(Fd, len, 4, TimeoutMs)) return false;
  uint32_t n = static_cast<uint32_t>(len[0]) | (static_cast<uint32_t>(len[1]) << 8) |
               (static_cast<uint32_t>(len[2]) << 16) | (static_cast<uint32_t>(len[3]) << 24);
  if (n == 0 || n > wire::kMaxFrame) return false;
  Frame.resize(n);
  return ReadExact(Fd, Frame.data(), n, TimeoutMs);
}

uint32_t Exchange(const std::string& Path, const std::vector<uint8_t>& Request, wire::tHostMessage& Reply,
                  std::vector<uint8_t>& Storage, int TimeoutMs) {
  uint32_t status = 0;
  int fd = ConnectSession(Path, status);
  if (fd < 0) return status;
  if (!SendAll(fd, Request)) {
    ::close(fd);
    return ERROR_WMI_INSTANCE_NOT_FOUND;
  }
  bool got = ReadFrame(fd, Storage, TimeoutMs);
  ::close(fd);
  if (!got) return ERROR_PROCESS_ABORTED;
  if (wire::DecodeHostMessage(Storage, Reply) != wire::tDecode::Ok) return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

uint64_t RawClockNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 10000000u + static_cast<uint64_t>(ts.tv_nsec) / 100u;
}

}  // namespace lw::etw::posix
