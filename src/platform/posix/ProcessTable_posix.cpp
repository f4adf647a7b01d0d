#include "platform/ProcessTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>

#include "platform/ErrorCodes.h"
#include "platform/SystemFacts.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"

namespace Vantor::platform {

namespace {

constexpr unsigned long kKernelThreadFlag = 0x00200000;  // PF_KTHREAD
constexpr char kUnixUserSidPrefix[] = "S-1-22-1-";
constexpr char kDeletedSuffix[] = " (deleted)";

// A vanished process reads as "no such process" whichever call noticed it.
bool failForProcess(int error) {
  return failWith(error == ENOENT || error == ESRCH ? EINVAL : error);
}

bool parseNumber(std::string_view text, std::uint64_t* value) {
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The fields of a stat line after the command name, which may itself hold ") ".
std::vector<std::string_view> statFields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t close = line.rfind(')');
  if (close == std::string_view::npos) return fields;
  std::string_view rest = line.substr(close + 1);
  while (!rest.empty()) {
    std::size_t start = rest.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    rest.remove_prefix(start);
    std::size_t end = rest.find(' ');
    fields.push_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end);
  }
  return fields;
}

bool readAt(int directory, const char* name, std::string* content) {
  int fd = ::openat(directory, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failForProcess(errno);
  bool ok = readAll(fd, content);
  int error = errno;
  ::close(fd);
  return ok || failForProcess(error);
}

bool isKernelThread(int proc, const char* pid) {
  std::string path = std::string(pid) + "/stat";
  int fd = ::openat(proc, path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;  // gone: not worth listing
  std::string line;
  bool ok = readAll(fd, &line);
  ::close(fd);
  std::vector<std::string_view> fields = statFields(line);
  std::uint64_t flags = 0;
  // Fields after the name: state, ppid, pgrp, session, tty, tpgid, flags.
  return !ok || fields.size() < 7 || !parseNumber(fields[6], &flags) ||
         (flags & kKernelThreadFlag) != 0;
}

}  // namespace

bool listProcesses(std::vector<std::uint32_t>* pids) {
  pids->clear();
  int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (proc < 0) return failWith(errno);
  DIR* directory = ::fdopendir(::dup(proc));
  if (directory == nullptr) {
    int error = errno;
    ::close(proc);
    return failWith(error);
  }
  while (const dirent* entry = ::readdir(directory)) {
    std::uint64_t pid = 0;
    if (!parseNumber(entry->d_name, &pid) || pid == 0 || pid > UINT32_MAX) continue;
    if (isKernelThread(proc, entry->d_name)) continue;
    pids->push_back(static_cast<std::uint32_t>(pid));
  }
  ::closedir(directory);
  ::close(proc);
  return true;
}

ProcessHandle::~ProcessHandle() { close(); }

bool ProcessHandle::open(std::uint32_t pid) {
  close();
  std::string path = "/proc/" + std::to_string(pid);
  int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (directory < 0) return failForProcess(errno);
  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (pidfd < 0) {
    int error = errno;
    ::close(directory);
    return failForProcess(error);
  }
  // The id may have been reused between the two opens: both must name the process that the
  // directory was opened for, whose reads fail once it is gone.
  char link[8];
  if (::faccessat(directory, "stat", R_OK, 0) != 0 ||
      (::readlinkat(directory, "exe", link, sizeof link) < 0 && errno != ENOENT)) {
    int error = errno;
    ::close(pidfd);
    ::close(directory);
    return failForProcess(error);
  }
  pid_ = pid;
  directory_ = directory;
  pidfd_ = pidfd;
  return true;
}

void ProcessHandle::close() {
  if (pidfd_ >= 0) ::close(pidfd_);
  if (directory_ >= 0) ::close(directory_);
  pidfd_ = directory_ = -1;
}

bool ProcessHandle::executable(std::string* path) const {
  if (directory_ < 0) return failWith(EBADF);
  std::string target(4096, '\0');
  ssize_t length = ::readlinkat(directory_, "exe", target.data(), target.size());
  if (length < 0) return failForProcess(errno);
  target.resize(static_cast<std::size_t>(length));
  if (target.ends_with(kDeletedSuffix)) target.resize(target.size() - strlen(kDeletedSuffix));
  *path = target;
  return true;
}

bool ProcessHandle::userSid(std::string* sid) const {
  if (directory_ < 0) return failWith(EBADF);
  std::string status;
  if (!readAt(directory_, "status", &status)) return false;
  std::size_t line = status.find("\nUid:");
  if (line == std::string::npos) return failWith(EINVAL);
  std::size_t start = status.find_first_not_of(" \t", line + 5);
  std::size_t end = status.find_first_of(" \t\n", start);
  std::uint64_t uid = 0;
  if (start == std::string::npos || !parseNumber(std::string_view(status).substr(start, end - start), &uid)) {
    return failWith(EINVAL);
  }
  *sid = kUnixUserSidPrefix + std::to_string(uid);
  return true;
}

bool ProcessHandle::isRunning() const {
  if (pidfd_ < 0) return false;
  pollfd request{pidfd_, POLLIN, 0};
  return ::poll(&request, 1, 0) == 0;
}

bool ProcessHandle::exitCode(std::uint32_t* code) const {
  if (pidfd_ < 0) return failWith(EBADF);
  *code = isRunning() ? kStillActive : 0;
  return true;
}

bool ProcessHandle::modules(std::vector<std::string>* paths) const {
  paths->clear();
  std::string executablePath;
  if (!executable(&executablePath)) return false;
  std::string maps;
  if (!readAt(directory_, "maps", &maps)) return false;
  paths->push_back(executablePath);
  std::set<std::string> seen{executablePath};
  std::size_t position = 0;
  while (position < maps.size()) {
    std::size_t end = maps.find('\n', position);
    if (end == std::string::npos) end = maps.size();
    std::string_view line(maps.data() + position, end - position);
    position = end + 1;
    // address perms offset device inode path
    std::size_t perms = line.find(' ');
    std::size_t slash = line.find('/');
    if (perms == std::string_view::npos || perms + 3 >= line.size() || line[perms + 3] != 'x' ||
        slash == std::string_view::npos) {
      continue;
    }
    std::string file(line.substr(slash));
    if (file.ends_with(kDeletedSuffix)) file.resize(file.size() - strlen(kDeletedSuffix));
    if (seen.insert(file).second) paths->push_back(file);
  }
  return true;
}

bool ProcessHandle::parentPid(std::uint32_t* pid) const {
  if (directory_ < 0) return failWith(EBADF);
  std::string line;
  if (!readAt(directory_, "stat", &line)) return false;
  std::vector<std::string_view> fields = statFields(line);
  std::uint64_t parent = 0;
  if (fields.size() < 2 || !parseNumber(fields[1], &parent)) return failWith(EINVAL);
  *pid = static_cast<std::uint32_t>(parent);
  return true;
}

bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) {
  std::uint64_t uid = 0;
  if (!sid.starts_with(kUnixUserSidPrefix) ||
      !parseNumber(std::string_view(sid).substr(strlen(kUnixUserSidPrefix)), &uid) ||
      uid > UINT32_MAX) {
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
    *domain = SystemFacts::Default().computerName();
  }
  return true;
}

}  // namespace Vantor::platform
