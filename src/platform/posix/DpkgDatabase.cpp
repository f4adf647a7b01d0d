#include "platform/posix/DpkgDatabase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/Mutex.h"
#include "platform/posix/PosixIo.h"

namespace Vantor::platform {

namespace {

constexpr char kInfoDirectory[] = "/var/lib/dpkg/info";
constexpr char kStatusFile[] = "/var/lib/dpkg/status";
constexpr std::string_view kListSuffix = ".list";

bool readWhole(const std::string& path, std::string* content) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = readAll(fd, content);
  ::close(fd);
  return ok;
}

std::int64_t changeTime(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

class Database {
 public:
  bool find(const std::string& path, OwningPackage* package) LOCKS_EXCLUDED(mutex_) {
    platform::MutexLock lock(&mutex_);
    std::int64_t stamp = changeTime(kInfoDirectory) ^ changeTime(kStatusFile);
    if (stamp != stamp_) {
      load();
      stamp_ = stamp;
    }
    auto owner = owners_.find(path);
    // Where /bin is /usr/bin, the system names a file by one path and its package by the other.
    if (owner == owners_.end() && path.starts_with("/usr/")) owner = owners_.find(path.substr(4));
    if (owner == owners_.end()) owner = owners_.find("/usr" + path);
    if (owner == owners_.end()) return false;
    package->name = owner->second;
    auto version = versions_.find(owner->second);
    package->version = version == versions_.end() ? "" : version->second;
    return true;
  }

 private:
  void load() EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    owners_.clear();
    versions_.clear();
    if (DIR* directory = ::opendir(kInfoDirectory)) {
      while (const dirent* entry = ::readdir(directory)) {
        std::string_view file = entry->d_name;
        if (!file.ends_with(kListSuffix)) continue;
        std::string package(file.substr(0, std::min(file.find(':'), file.size() - kListSuffix.size())));
        std::string list;
        if (!readWhole(std::string(kInfoDirectory) + "/" + std::string(file), &list)) continue;
        for (std::string_view line : linesOf(list)) {
          if (!line.empty()) owners_.emplace(std::string(line), package);
        }
      }
      ::closedir(directory);
    }
    std::string status;
    if (!readWhole(kStatusFile, &status)) return;
    std::string package;
    for (std::string_view line : linesOf(status)) {
      if (line.starts_with("Package: ")) package = std::string(line.substr(9));
      if (line.starts_with("Version: ") && !package.empty()) {
        versions_[package] = std::string(line.substr(9));
      }
      if (line.empty()) package.clear();
    }
  }

  platform::Mutex mutex_;
  std::int64_t stamp_ GUARDED_BY(mutex_) = -1;
  std::unordered_map<std::string, std::string> owners_ GUARDED_BY(mutex_);
  std::map<std::string, std::string> versions_ GUARDED_BY(mutex_);
};

}  // namespace

bool findOwningPackage(const std::string& path, OwningPackage* package) {
  static Database database;
  return database.find(path, package);
}

}  // namespace Vantor::platform
