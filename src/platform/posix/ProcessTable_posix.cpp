#include "platform/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <unordered_map>

#include "platform/ErrorCodes.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcText.h"

namespace Vantor::platform {

namespace {

constexpr std::uint64_t kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
constexpr char kUnixUserSidPrefix[] = "S-1-22-1-";
constexpr std::size_t kPathMax = 4096;

// A vanished process reads as "no such process" whichever call noticed it.
bool failForProcess(int error) {
  return failWith(error == ENOENT || error == ESRCH ? EINVAL : error);
}

bool parsePid(std::string_view text, std::uint32_t* pid) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *pid);
  return error == std::errc() && end == text.data() + text.size() && !text.empty() && *pid != 0;
}

bool readAt(int directory, const char* name, std::string* content) {
  UniqueFd fd(::openat(directory, name, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failForProcess(errno);
  return readAll(fd.get(), content) || failForProcess(errno);
}

bool readStat(int directory, const char* name, ProcStat* stat) {
  std::string line;
  if (!readAt(directory, name, &line)) return false;
  return parseProcStat(line, stat) || failWith(EINVAL);
}

// /proc/<pid> of the process with this id, checked by its start stamp: reads through the
// descriptor fail once that process is gone, so they never reach a later one of the same id.
UniqueFd openProcessDirectory(const ProcessId& id, ProcStat* stat) {
  std::string path = "/proc/" + std::to_string(id.pid);
  UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory.valid()) {
    failForProcess(errno);
    return directory;
  }
  if (!readStat(directory.get(), "stat", stat)) return UniqueFd();
  if (id.startStamp != 0 && stat->startTicks != id.startStamp) {
    setLastError(kErrorInvalidParameter);
    return UniqueFd();
  }
  return directory;
}

class LinuxProcessTable : public ProcessTable {
 public:
  bool list(std::vector<ProcessId>* processes) override {
    processes->clear();
    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.valid()) return failWith(errno);
    DIR* directory = ::fdopendir(::dup(proc.get()));
    if (directory == nullptr) return failWith(errno);
    std::unordered_map<std::uint32_t, ino_t> kernelThreads;
    while (const dirent* entry = ::readdir(directory)) {
      std::uint32_t pid = 0;
      if (!parsePid(entry->d_name, &pid)) continue;
      // A kernel thread seen before is not read again. Its directory entry is made anew
      // for a later task of the same id, so an unchanged inode number means the same thread.
      if (auto known = kernelThreads_.find(pid);
          known != kernelThreads_.end() && known->second == entry->d_ino) {
        kernelThreads.emplace(pid, entry->d_ino);
        continue;
      }
      std::string name = std::string(entry->d_name) + "/stat";
      ProcStat stat;
      if (!readStat(proc.get(), name.c_str(), &stat)) continue;  // gone: nothing to list
      if ((stat.flags & kKernelThreadFlag) != 0) {
        kernelThreads.emplace(pid, entry->d_ino);
        continue;
      }
      processes->push_back({pid, stat.startTicks});
    }
    ::closedir(directory);
    kernelThreads_ = std::move(kernelThreads);
    return true;
  }

 private:
  std::unordered_map<std::uint32_t, ino_t> kernelThreads_;  // pid -> inode of its entry
};

}  // namespace

std::unique_ptr<ProcessTable> ProcessTable::create() {
  return std::make_unique<LinuxProcessTable>();
}

bool ProcessHandle::open(std::uint32_t pid, std::uint64_t startStamp) {
  close();
  ProcStat stat;
  if (!openProcessDirectory({pid, startStamp}, &stat).valid()) return false;
  id_ = {pid, stat.startTicks};
  parentPid_ = stat.parentPid;
  open_ = true;
  return true;
}

void ProcessHandle::close() {
  open_ = false;
  id_ = {};
  parentPid_ = 0;
}

bool ProcessHandle::executable(std::string* path) const {
  if (!open_) return failWith(EBADF);
  ProcStat stat;
  UniqueFd directory = openProcessDirectory(id_, &stat);
  if (!directory.valid()) return false;
  std::string target(kPathMax, '\0');
  ssize_t length = ::readlinkat(directory.get(), "exe", target.data(), target.size());
  if (length < 0) return failForProcess(errno);
  target.resize(static_cast<std::size_t>(length));
  *path = withoutDeletedSuffix(std::move(target));
  return true;
}

bool ProcessHandle::userSid(std::string* sid) const {
  if (!open_) return failWith(EBADF);
  ProcStat stat;
  UniqueFd directory = openProcessDirectory(id_, &stat);
  std::string status;
  if (!directory.valid() || !readAt(directory.get(), "status", &status)) return false;
  std::uint32_t uid = 0;
  if (!parseStatusUid(status, &uid)) return failWith(EINVAL);
  *sid = kUnixUserSidPrefix + std::to_string(uid);
  return true;
}

bool ProcessHandle::isRunning() const {
  if (!open_) return false;
  ProcStat stat;
  // A zombie has ended: only its parent's wait is missing.
  return openProcessDirectory(id_, &stat).valid() && stat.state != 'Z' && stat.state != 'X';
}

bool ProcessHandle::exitCode(std::uint32_t* code) const {
  if (!open_) return failWith(EBADF);
  *code = isRunning() ? kStillActive : 0;
  return true;
}

bool ProcessHandle::modules(std::vector<std::string>* paths) const {
  paths->clear();
  std::string executablePath;
  if (!executable(&executablePath)) return false;
  ProcStat stat;
  UniqueFd directory = openProcessDirectory(id_, &stat);
  std::string maps;
  if (!directory.valid() || !readAt(directory.get(), "maps", &maps)) return false;
  paths->push_back(executablePath);
  for (std::string& file : parseExecutableMappings(maps)) {
    if (file != executablePath) paths->push_back(std::move(file));
  }
  return true;
}

bool ProcessHandle::parentPid(std::uint32_t* pid) const {
  if (!open_) return failWith(EBADF);
  *pid = parentPid_;
  return true;
}

bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) {
  std::uint32_t uid = 0;
  std::string_view number = std::string_view(sid).substr(
      sid.starts_with(kUnixUserSidPrefix) ? strlen(kUnixUserSidPrefix) : sid.size());
  auto [end, parseError] = std::from_chars(number.data(), number.data() + number.size(), uid);
  if (number.empty() || parseError != std::errc() || end != number.data() + number.size()) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int error = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr) {
    setLastError(error != 0 ? win32FromErrno(error) : kErrorNoneMapped);
    return false;
  }
  // Directory accounts arrive as DOMAIN\user or user@domain; local ones belong to the machine.
  std::string name = entry.pw_name;
  std::size_t backslash = name.find('\\');
  std::size_t at = name.rfind('@');
  if (backslash != std::string::npos) {
    *domain = name.substr(0, backslash);
    *user = name.substr(backslash + 1);
  } else if (at != std::string::npos) {
    *user = name.substr(0, at);
    *domain = name.substr(at + 1);
  } else {
    *user = name;
    domain->clear();
  }
  return true;
}

}  // namespace Vantor::platform
