#include "platform/registry/posix/FileHiveStore.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace lw::reg {
namespace {

LONG WriteStatus(int Error) {
  switch (Error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
      return ERROR_DISK_FULL;
    default:
      return ERROR_WRITE_FAULT;
  }
}

// The file a write replaces: the hive path with symbolic links resolved.
bool ResolveTarget(const std::string& Path, std::string& Target, LONG& Status) {
  char Buf[PATH_MAX];
  if (realpath(Path.c_str(), Buf) == nullptr) {
    Status = (errno == ENOENT || errno == ENOTDIR) ? ERROR_FILE_NOT_FOUND
             : (errno == EACCES)                   ? ERROR_ACCESS_DENIED
                                                   : ERROR_WRITE_FAULT;
    return false;
  }
  Target = Buf;
  return true;
}

std::string FolderOf(const std::string& Path) {
  size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return ".";
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

bool WriteAll(int Fd, const std::string& Text) {
  size_t Done = 0;
  while (Done < Text.size()) {
    ssize_t N = write(Fd, Text.data() + Done, Text.size() - Done);
    if (N < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    Done += static_cast<size_t>(N);
  }
  return true;
}

}  // namespace

std::string tFileHiveStore::HivePath() const {
  if (!path_.empty()) return path_;
  const char* Env = std::getenv("LOGWARDEN_REGISTRY");
  return (Env != nullptr && *Env != '\0') ? std::string(Env) : std::string(kDefaultHivePath);
}

LONG tFileHiveStore::Load(tHive& Out) {
  std::string Path = HivePath();
  int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (Fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      tHive::Parse(std::string_view{}, Out);
      return ERROR_SUCCESS;
    }
    return (errno == EACCES || errno == EPERM) ? ERROR_ACCESS_DENIED : ERROR_READ_FAULT;
  }
  std::string Text;
  LONG Status = ERROR_SUCCESS;
  char Buf[65536];
  for (;;) {
    ssize_t N = read(Fd, Buf, sizeof Buf);
    if (N < 0) {
      if (errno == EINTR) continue;
      Status = ERROR_READ_FAULT;
      break;
    }
    if (N == 0) break;
    if (Text.size() + static_cast<size_t>(N) > tHive::kMaxBytes) {
      Status = ERROR_BADDB;
      break;
    }
    Text.append(Buf, static_cast<size_t>(N));
  }
  close(Fd);
  if (Status != ERROR_SUCCESS) return Status;
  return tHive::Parse(Text, Out) == tHiveStatus::TooLarge ? ERROR_BADDB : ERROR_SUCCESS;
}

LONG tFileHiveStore::CheckWritable() {
  std::string Target;
  LONG Status = ERROR_SUCCESS;
  if (!ResolveTarget(HivePath(), Target, Status)) return Status;
  // Opening for writing truncates nothing and asks the permission question with the caller's rights.
  int Fd = open(Target.c_str(), O_WRONLY | O_CLOEXEC);
  if (Fd < 0) return WriteStatus(errno);
  close(Fd);
  if (faccessat(AT_FDCWD, FolderOf(Target).c_str(), W_OK | X_OK, AT_EACCESS) != 0) return WriteStatus(errno);
  return ERROR_SUCCESS;
}

LONG tFileHiveStore::Store(const tHive& Hive) {
  std::string Target;
  LONG Status = ERROR_SUCCESS;
  if (!ResolveTarget(HivePath(), Target, Status)) return Status;
  struct stat Old {};
  if (stat(Target.c_str(), &Old) != 0) return WriteStatus(errno);

  std::string Folder = FolderOf(Target);
  std::string Temp = Folder + "/." + Target.substr(Target.rfind('/') + 1) + ".XXXXXX";
  std::vector<char> TempName(Temp.begin(), Temp.end());
  TempName.push_back('\0');
  int Fd = mkstemp(TempName.data());
  if (Fd < 0) return WriteStatus(errno);

  std::string Text = Hive.Text();
  bool Ok = fchmod(Fd, Old.st_mode & 07777) == 0;
  if (Ok && geteuid() == 0 && fchown(Fd, Old.st_uid, Old.st_gid) != 0) Ok = false;
  Ok = Ok && WriteAll(Fd, Text) && fsync(Fd) == 0;
  int Error = errno;
  if (close(Fd) != 0 && Ok) {
    Ok = false;
    Error = errno;
  }
  if (Ok && rename(TempName.data(), Target.c_str()) != 0) {
    Ok = false;
    Error = errno;
  }
  if (!Ok) {
    unlink(TempName.data());
    return WriteStatus(Error);
  }
  // Make the rename itself durable.
  int Dir = open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Dir >= 0) {
    fsync(Dir);
    close(Dir);
  }
  return ERROR_SUCCESS;
}

tRegistryApi& SystemRegistry() {
  static tFileHiveStore Store;
  static tHiveRegistry Registry(Store);
  return Registry;
}

}  // namespace lw::reg
