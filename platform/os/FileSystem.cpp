#include "platform/os/FileSystem.h"

#include <cerrno>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

#include "platform/os/CodePage.h"

namespace lw::os {

namespace {

char foldCase(char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); }

// '?' stands for one character, or for none where the rest of the pattern from here is a run of '?'
// followed by '.' or the end (the platform's rule for short-name wildcards).
bool match(const char* n, const char* p) {
  for (;;) {
    if (*p == '\0') return *n == '\0';
    if (*p == '*') {
      while (*p == '*') ++p;
      if (*p == '\0') return true;
      for (const char* s = n;; ++s) {
        if (match(s, p)) return true;
        if (*s == '\0') return false;
      }
    }
    if (*p == '?') {
      const char* q = p;
      while (*q == '?') ++q;
      if (*q != '.' && *q != '\0') {
        // An ordinary '?': exactly one character.
        if (*n == '\0') return false;
        ++n;
        ++p;
        continue;
      }
      // Before '.' or the end: one character other than '.', or none once the name reaches '.' or its end.
      if (*n != '\0' && *n != '.' && match(n + 1, p + 1)) return true;
      return (*n == '.' || *n == '\0') && match(n, p + 1);
    }
    if (*n == '\0' || foldCase(*n) != foldCase(*p)) return false;
    ++n;
    ++p;
  }
}

std::string withSeparator(const std::string& Folder) {
  if (Folder.empty()) return Folder;
  const char last = Folder.back();
  if (last == '/' || last == '\\') return Folder;
#ifdef _WIN32
  return Folder + '\\';
#else
  return Folder + '/';
#endif
}

}  // namespace

bool MatchesPattern(const std::string& Name, const std::string& Pattern) {
  return match(Name.c_str(), Pattern.c_str());
}

#ifndef _WIN32

std::vector<tFindData> FindFiles(const std::string& Folder, const std::string& Pattern) {
  std::vector<tFindData> out;
  const std::string dir = withSeparator(Folder.empty() ? std::string("./") : Folder);
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return out;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || !MatchesPattern(name, Pattern)) continue;
    struct stat st {};
    if (::stat((dir + name).c_str(), &st) != 0) continue;
    tFindData fd;
    fd.Name = name;
    fd.IsDirectory = S_ISDIR(st.st_mode);
    fd.Size = fd.IsDirectory ? 0 : static_cast<uint64_t>(st.st_size);
    fd.LastWrite.Value = (static_cast<uint64_t>(st.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL +
                         static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100u;
    out.push_back(std::move(fd));
  }
  ::closedir(d);
  return out;
}

bool DirectoryExists(const std::string& Path) {
  struct stat st {};
  return ::stat(Path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  std::string p = Path;
  while (p.size() > 1 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  if (DirectoryExists(p)) return true;
  const size_t sep = p.find_last_of('/');
  if (sep != std::string::npos && sep > 0 && !ForceDirectories(p.substr(0, sep))) return false;
  return ::mkdir(p.c_str(), 0777) == 0 || (errno == EEXIST && DirectoryExists(p));
}

#else

std::vector<tFindData> FindFiles(const std::string& Folder, const std::string& Pattern) {
  std::vector<tFindData> out;
  WIN32_FIND_DATAA fd{};
  const std::string spec = withSeparator(Folder) + Pattern;
  HANDLE h = ::FindFirstFileA(spec.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE) return out;
  do {
    const std::string name = fd.cFileName;
    if (name == "." || name == "..") continue;
    tFindData e;
    e.Name = name;
    e.IsDirectory = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    e.Size = static_cast<uint64_t>(fd.nFileSizeHigh) << 32 | fd.nFileSizeLow;
    e.LastWrite.Value =
        static_cast<uint64_t>(fd.ftLastWriteTime.dwHighDateTime) << 32 | fd.ftLastWriteTime.dwLowDateTime;
    out.push_back(std::move(e));
  } while (::FindNextFileA(h, &fd));
  ::FindClose(h);
  return out;
}

bool DirectoryExists(const std::string& Path) {
  const DWORD a = ::GetFileAttributesA(Path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool ForceDirectories(const std::string& Path) {
  if (Path.empty()) return false;
  std::string p = Path;
  while (p.size() > 3 && (p.back() == '/' || p.back() == '\\')) p.pop_back();
  if (DirectoryExists(p)) return true;
  const size_t sep = p.find_last_of("/\\");
  if (sep != std::string::npos && sep > 0 && p[sep - 1] != ':' && !ForceDirectories(p.substr(0, sep)))
    return false;
  if (sep != std::string::npos && sep > 0 && p[sep - 1] == ':' && !DirectoryExists(p.substr(0, sep + 1)))
    return false;
  return ::CreateDirectoryA(p.c_str(), nullptr) != 0 || DirectoryExists(p);
}

#endif

}  // namespace lw::os
