#include "foundation/FileOps.h"

#include "foundation/FileUtils.h"
#include "foundation/Wildcard.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/SystemFacts.h"

namespace Vantor::FileOps {

namespace {

bool hasWildcard(const std::string& path) { return path.find_first_of("*?") != std::string::npos; }

bool isDriveName(const std::string& path) {
  return path.size() == 2 && path[1] == ':' &&
         ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::string::size_type i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

}  // namespace

bool FileInfo::isDirectory() const { return (attributes & platform::kAttributeDirectory) != 0; }

bool exists(platform::Env& env, const std::string& path) {
  if (isDriveName(path)) return env.systemFacts().isKnownDrive(path);
  if (hasWildcard(path)) {
    std::vector<ListEntry> entries;
    return list(env, path, &entries) && !entries.empty();
  }
  platform::PathInfo info;
  return env.fileSystem().getInfo(path, &info).ok();
}

platform::Status getInfo(platform::Env& env, const std::string& path, FileInfo* info) {
  platform::PathInfo facts;
  if (platform::Status found = env.fileSystem().getInfo(path, &facts); !found) return found;
  if (platform::Status made = env.fileSystem().absolutePath(path, &info->fullPath); !made) {
    return made;
  }
  info->attributes = facts.attributes;
  info->size = facts.size;
  info->creationTime = facts.creationTime;
  info->lastAccessTime = facts.lastAccessTime;
  info->lastWriteTime = facts.lastWriteTime;
  return {};
}

platform::Status list(platform::Env& env, const std::string& pattern,
                      std::vector<ListEntry>* entries) {
  // Matched here rather than by the system, so that both platforms read a pattern alike
  // (a system's own matching may also try short alias names).
  std::vector<platform::DirEntry> found;
  if (platform::Status listed = env.fileSystem().listDirectory(FileUtils::dirName(pattern), &found);
      !listed) {
    return listed;
  }
  std::string wanted = FileUtils::foldCase(FileUtils::baseName(pattern));
  for (platform::DirEntry& entry : found) {
    if (wildcardMatch(wanted, FileUtils::foldCase(entry.name))) {
      entries->push_back({std::move(entry.name), entry.isFile});
    }
  }
  return {};
}

platform::Status copy(platform::Env& env, const std::string& from, const std::string& to,
                      bool overwrite) {
  return env.fileSystem().copyFile(from, to, overwrite);
}

platform::Status move(platform::Env& env, const std::string& from, const std::string& to,
                      bool replace) {
  return env.fileSystem().rename(from, to, replace);
}

platform::Status remove(platform::Env& env, const std::string& path, bool force) {
  return env.fileSystem().removeFile(path, force);
}

platform::Status makeDir(platform::Env& env, const std::string& path) {
  return env.fileSystem().makeDirectory(path);
}

platform::Status makeParentDirs(platform::Env& env, const std::string& path) {
  std::string parent = FileUtils::stripTrailingSeparators(FileUtils::dirName(path));
  if (parent.empty() || (parent.size() == 1 && FileUtils::isSeparator(parent[0])) ||
      isDriveName(parent)) {
    return {};
  }
  platform::PathInfo info;
  if (env.fileSystem().getInfo(parent, &info)) {
    if (info.isDirectory) return {};
    return platform::Status::error(platform::kErrorPathNotFound);
  }
  if (platform::Status above = makeParentDirs(env, parent); !above) return above;
  platform::Status made = makeDir(env, parent);
  // Another process may create it at the same moment; that is success too.
  if (!made && env.fileSystem().getInfo(parent, &info) && info.isDirectory) return {};
  return made;
}

platform::Status currentDir(platform::Env& env, std::string* directory) {
  return env.fileSystem().currentDirectory(directory);
}

platform::Status expandSpecialPrefix(platform::Env& env, const std::string& component,
                                     std::string* out) {
  if (component.size() == 3 && FileUtils::isSeparator(component[0]) &&
      isDriveName(component.substr(1))) {
    *out = component.substr(1);
    return {};
  }
  if (component.size() >= 3 && component.front() == '%' && component.back() == '%') {
    std::optional<std::string> value =
        env.variables().get(component.substr(1, component.size() - 2));
    if (!value) return platform::Status::error(platform::kErrorFileNotFound);
    *out = *value;
    return {};
  }
  if (!component.empty() && FileUtils::isSeparator(component[0])) {
    std::string rest = component.substr(1);
    if (equalsIgnoringCase(rest, "systemroot")) {
      std::optional<std::string> directory = env.systemFacts().windowsDirectory();
      if (!directory) return platform::Status::error(platform::kErrorPathNotFound);
      if (directory->size() > 260) {
        return platform::Status::error(platform::kErrorInsufficientBuffer);
      }
      *out = *directory;
      return {};
    }
    if (rest == "??") {
      out->clear();
      return {};
    }
  }
  return platform::Status::error(platform::kErrorPathNotFound);
}

}  // namespace Vantor::FileOps
