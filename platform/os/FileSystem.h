// Directory search and folder creation.
//
// FindFiles follows the platform's directory search: names compare without regard to case, '*' matches
// any run, '?' matches one character, or none where it stands before a '.' or at the end of the pattern
// (so "a_???.etl" finds "a_1.etl" and "a_123.etl"). Entries "." and ".." are never returned. The order is
// the order the directory lists them. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/os/Types.h"

namespace lw::os {

struct tFindData {
  std::string Name;  // without folder
  bool IsDirectory = false;
  tFileTime LastWrite;  // UTC
  uint64_t Size = 0;
};

// Folder with or without a trailing separator. An empty result when nothing matches or the folder
// cannot be read.
std::vector<tFindData> FindFiles(const std::string& Folder, const std::string& Pattern);
// The platform's wildcard match of one name (exposed for tests).
bool MatchesPattern(const std::string& Name, const std::string& Pattern);

bool DirectoryExists(const std::string& Path);
// Creates a folder with every missing parent; true when the folder exists afterwards.
bool ForceDirectories(const std::string& Path);

}  // namespace lw::os
