#include "platform/posix/DpkgDatabase.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
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
constexpr int kPackageBits = 20;  // room for a million packages beside the hash
constexpr std::uint64_t kPackageMask = (std::uint64_t{1} << kPackageBits) - 1;

// Calls line for every line of the file, through one small buffer: the database's files
// are megabytes that need not be held.
bool forEachLine(const std::string& path, const std::function<void(std::string_view)>& line) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
  if (!fd.valid()) return false;
  std::string pending;
  char buffer[16 * 1024];
  while (true) {
    ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t start = 0;
    for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1) {
      line(std::string_view(pending).substr(start, end - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) line(pending);
  return true;
}

std::int64_t changeTime(const char* path) {
  struct stat info {};
  if (::stat(path, &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

// The path's hash in the high bits, so that a hash and a package number share one word.
std::uint64_t pathKey(std::string_view path) {
  return std::hash<std::string_view>{}(path) & ~kPackageMask;
}

// Which package lists which file, as a sorted list of path hashes with package numbers: a
// desktop's packages list a million paths, whose text need not stay in memory for the few
// hundred that are ever asked for. A hash that matches is confirmed in the package's list.
class Database {
 public:
  bool find(const std::string& path, OwningPackage* package) LOCKS_EXCLUDED(mutex_) {
    platform::MutexLock lock(&mutex_);
    std::int64_t stamp = changeTime(kInfoDirectory) ^ changeTime(kStatusFile);
    if (stamp != stamp_) {
      load();
      stamp_ = stamp;
    }
    // Where /bin is /usr/bin, the system names a file by one path and its package by the other.
    std::vector<std::string> candidates{path};
    if (path.starts_with("/usr/")) candidates.push_back(path.substr(4));
    candidates.push_back("/usr" + path);
    for (const std::string& candidate : candidates) {
      std::uint64_t key = pathKey(candidate);
      for (auto entry = std::lower_bound(index_.begin(), index_.end(), key);
           entry != index_.end() && (*entry & ~kPackageMask) == key; ++entry) {
        const Package& owner = packages_[*entry & kPackageMask];
        if (!lists(owner, candidate)) continue;
        package->name = owner.name;
        package->version = owner.version;
        return true;
      }
    }
    return false;
  }

 private:
  struct Package {
    std::string name;
    std::string listFile;
    std::string version;
  };

  static bool lists(const Package& package, std::string_view path) {
    bool found = false;
    forEachLine(std::string(kInfoDirectory) + "/" + package.listFile,
                [&](std::string_view line) { found = found || line == path; });
    return found;
  }

  void load() EXCLUSIVE_LOCKS_REQUIRED(mutex_) {
    // Built aside and put in place whole: the readers' callbacks need no lock.
    std::vector<std::uint64_t> index;
    std::vector<Package> packages;
    std::unordered_map<std::string, std::size_t> numbers;
    if (DIR* directory = ::opendir(kInfoDirectory)) {
      while (const dirent* entry = ::readdir(directory)) {
        std::string_view file = entry->d_name;
        if (!file.ends_with(kListSuffix) || packages.size() > kPackageMask) continue;
        std::string name(
            file.substr(0, std::min(file.find(':'), file.size() - kListSuffix.size())));
        std::uint64_t number = packages.size();
        packages.push_back({name, std::string(file), ""});
        numbers.emplace(name, number);
        forEachLine(std::string(kInfoDirectory) + "/" + std::string(file),
                    [&](std::string_view line) {
                      if (!line.empty()) index.push_back(pathKey(line) | number);
                    });
      }
      ::closedir(directory);
    }
    std::sort(index.begin(), index.end());
    index.shrink_to_fit();
    std::string name;
    forEachLine(kStatusFile, [&](std::string_view line) {
      if (line.starts_with("Package: ")) name = std::string(line.substr(9));
      if (line.starts_with("Version: ") && !name.empty()) {
        if (auto number = numbers.find(name); number != numbers.end()) {
          packages[number->second].version = std::string(line.substr(9));
        }
      }
      if (line.empty()) name.clear();
    });
    index_ = std::move(index);
    packages_ = std::move(packages);
  }

  platform::Mutex mutex_;
  std::int64_t stamp_ GUARDED_BY(mutex_) = -1;
  std::vector<std::uint64_t> index_ GUARDED_BY(mutex_);
  std::vector<Package> packages_ GUARDED_BY(mutex_);
};

}  // namespace

bool findOwningPackage(const std::string& path, OwningPackage* package) {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* database = new Database();
  return database->find(path, package);
}

}  // namespace Vantor::platform
