// File-system operations outside an open file, through the environment's file system. Each
// answers the system's error code (a Win32 code) with its failure, for the caller to report.
#ifndef TARNWICK_FOUNDATION_FILEOPS_H_
#define TARNWICK_FOUNDATION_FILEOPS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace Vantor::FileOps {

struct FileInfo {
  std::string fullPath;
  std::uint32_t attributes = 0;  // Win32 FILE_ATTRIBUTE_* bits
  std::uint64_t size = 0;
  std::int64_t creationTime = 0;  // UTC seconds
  std::int64_t lastAccessTime = 0;
  std::int64_t lastWriteTime = 0;
  bool isDirectory() const;
};

struct ListEntry {
  std::string name;  // without the directory
  bool isFile = false;
};

// A drive name ("C:") exists when the system knows the drive; a path with wildcards when
// anything matches; any other path when it can be found.
bool exists(platform::Env& env, const std::string& path);
platform::Status getInfo(platform::Env& env, const std::string& path, FileInfo* info);
// The entries matching a pattern whose last component may hold '*' and '?'.
platform::Status list(platform::Env& env, const std::string& pattern,
                      std::vector<ListEntry>* entries);
platform::Status copy(platform::Env& env, const std::string& from, const std::string& to,
                      bool overwrite);
// With replace: an existing target is replaced, a move between volumes copies, and the
// result is on stable storage on return.
platform::Status move(platform::Env& env, const std::string& from, const std::string& to,
                      bool replace);
// A read-only file is only removed with force.
platform::Status remove(platform::Env& env, const std::string& path, bool force);
platform::Status makeDir(platform::Env& env, const std::string& path);
// Creates every missing directory above path (not path itself), from the top down.
platform::Status makeParentDirs(platform::Env& env, const std::string& path);
platform::Status currentDir(platform::Env& env, std::string* directory);
// Translates the leading component of a system image path: "\c:" gives "c:", "%NAME%" the
// variable's value, "\systemroot" the Windows directory, "\??" nothing; anything else, or a
// variable or directory that does not exist, gives an error.
platform::Status expandSpecialPrefix(platform::Env& env, const std::string& component,
                                     std::string* out);

}  // namespace Vantor::FileOps

#endif  // TARNWICK_FOUNDATION_FILEOPS_H_
