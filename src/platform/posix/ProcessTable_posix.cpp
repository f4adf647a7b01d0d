#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string_view>
#include <unordered_map>

#include "platform/ErrorCodes.h"
#include "platform/ProcessTable.h"
#include "platform/SystemServices.h"
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

// stat and status are made whole at the first read: one read that does not fill the buffer
// has them all, which spares a second call for every process of every poll.
bool readSmallAt(int directory, const char* name, std::string* content) {
  constexpr std::size_t kSmallFile = 4096;
  UniqueFd fd(::openat(directory, name, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return failForProcess(errno);
  char buffer[kSmallFile];
  ssize_t got;
  do {
    got = ::read(fd.get(), buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return failForProcess(errno);
  content->assign(buffer, static_cast<std::size_t>(got));
  if (content->size() < kSmallFile) return true;
  std::string rest;
  if (!readAll(fd.get(), &rest)) return failForProcess(errno);
  *content += rest;
  return true;
}

// Calls read(tasks folder, thread id) for the threads of the process until one returns true;
// false when none did.
template <typename Read>
bool anyThread(int directory, Read read) {
  UniqueFd tasks(::openat(directory, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  UniqueFd listed(tasks.valid() ? ::dup(tasks.get()) : -1);
  DIR* listing = listed.valid() ? ::fdopendir(listed.get()) : nullptr;
  if (listing == nullptr) return false;
  listed.release();  // the listing owns it now
  bool done = false;
  while (const dirent* entry = ::readdir(listing)) {
    std::uint32_t tid = 0;
    if (parsePid(entry->d_name, &tid) && (done = read(tasks.get(), std::string(entry->d_name)))) {
      break;
    }
  }
  ::closedir(listing);
  return done;
}

// The executable link of the first thread of the process that still has one; -1 with errno
// ENOENT when none has.
ssize_t readOtherThreadsLink(int directory, std::string* target) {
  ssize_t length = -1;
  anyThread(directory, [&](int tasks, const std::string& tid) {
    length = ::readlinkat(tasks, (tid + "/exe").c_str(), target->data(), target->size());
    return length >= 0;
  });
  if (length < 0) errno = ENOENT;
  return length;
}

// The mappings of the process. A first thread that ended before the others lists none:
// another thread has them. A live process always has some: none means it is going.
bool readMappings(int directory, std::string* maps) {
  auto read = [&](int folder, const std::string& name) {
    UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid() && readAll(fd.get(), maps);
  };
  if (!read(directory, "maps")) return failForProcess(errno);
  if (maps->empty() && !anyThread(directory, [&](int tasks, const std::string& tid) {
        return read(tasks, tid + "/maps") && !maps->empty();
      })) {
    return failForProcess(ESRCH);
  }
  return true;
}

// A number for the program a process runs: a new program has a new code range, whatever its
// name, and usually a new name. Made every poll for every process, so nothing is allocated.
std::uint64_t programStamp(const ProcStat& stat) {
  constexpr std::uint64_t kMix = 0x9e3779b97f4a7c15u;
  std::uint64_t stamp = std::hash<std::string_view>{}(stat.command);
  for (std::uint64_t part : {stat.codeStart, stat.codeEnd}) stamp = (stamp ^ part) * kMix;
  return stamp;
}

bool readStat(int directory, const char* name, ProcStat* stat) {
  std::string line;
  if (!readSmallAt(directory, name, &line)) return false;
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

// What a listing learnt of one /proc entry. The kernel makes a pid's entry anew, with a new
// inode number, for every task that gets the pid, and drops the old one when its task is
// collected: an unchanged inode number means the same task. A kernel thread seen before is
// therefore not read again; a process is, as it may have ended since.
struct ListedEntry {
  ino_t inode = 0;
  std::uint64_t startTicks = 0;
  std::uint32_t parentPid = 0;
  bool kernelThread = false;
};

// Where a process's program lies in its memory. The start of a program places code and stack
// anew (at random, where the system randomizes them); a fork keeps its parent's places.
struct RunMark {
  std::uint32_t parentPid = 0;
  std::uint64_t codeStart = 0;
  std::uint64_t codeEnd = 0;
  std::uint64_t stackStart = 0;

  // Whether both are one program run; never for a process the reader may not look into.
  bool sameRun(const RunMark& other) const {
    return codeStart != 0 && stackStart != 0 && codeStart == other.codeStart &&
           codeEnd == other.codeEnd && stackStart == other.stackStart;
  }
};

// Whether the system places programs at random addresses (its switch is not 0).
bool systemPlacesAtRandom(int proc) {
  std::string setting;
  return readSmallAt(proc, "sys/kernel/randomize_va_space", &setting) && !setting.empty() &&
         setting[0] != '0';
}

// Whether the process runs without the personality that turns random placing off; false when
// that cannot be read.
bool placesAtRandom(int proc, std::uint32_t pid) {
  constexpr unsigned long kAddressNoRandomize = 0x0040000;
  std::string personality;
  std::string name = std::to_string(pid) + "/personality";
  if (!readSmallAt(proc, name.c_str(), &personality) || personality.empty()) return false;
  char* end = nullptr;
  unsigned long value = std::strtoul(personality.c_str(), &end, 16);
  return end != personality.c_str() && (value & kAddressNoRandomize) == 0;
}

// Inode numbers 0 and 1 stand for entries the kernel could not make: they prove nothing.
bool isTrustedInode(ino_t inode) { return inode > 1; }

// A process's own /proc folder, kept open from opening to release(), and found again (and
// checked by its start stamp) for every read after that.
class ProcHandle : public ProcessHandle {
 public:
  ProcHandle(const ProcessId& id, std::uint32_t parentPid, UniqueFd folder)
      : id_(id), parentPid_(parentPid), kept_(std::move(folder)) {}

  std::uint32_t pid() const override { return id_.pid; }
  std::uint64_t startStamp() const override { return id_.startStamp; }
  void release() override { kept_ = UniqueFd(); }

  bool isRunning() const override;
  Status executable(std::string* path) const override {
    return Status::fromLastError(readExecutable(path));
  }
  Status userSid(std::string* sid) const override {
    return Status::fromLastError(readUserSid(sid));
  }
  Status exitCode(std::uint32_t* code) const override {
    return Status::fromLastError(readExitCode(code));
  }
  Status modules(std::vector<std::string>* paths) const override {
    return Status::fromLastError(readModules(paths));
  }
  Status programMark(std::uint64_t* mark) const override {
    return Status::fromLastError(readProgramMark(mark));
  }
  Status parentPid(std::uint32_t* pid) const override {
    return Status::fromLastError(readParentPid(pid));
  }

 private:
  bool readExecutable(std::string* path) const;
  bool readUserSid(std::string* sid) const;
  bool readExitCode(std::uint32_t* code) const;
  bool readModules(std::vector<std::string>* paths) const;
  bool readProgramMark(std::uint64_t* mark) const;
  bool readParentPid(std::uint32_t* pid) const;

  // Calls read with the process's own folder, checked to be this process: the kept one, or
  // one found again for this call.
  template <typename Read>
  bool readThrough(Read read) const;

  ProcessId id_;
  std::uint32_t parentPid_;
  UniqueFd kept_;
};

class LinuxProcessTable : public ProcessTable {
 public:
  bool list(std::vector<ListedProcess>* processes) override {
    processes->clear();
    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!proc.valid()) return failWith(errno);
    DIR* directory = ::fdopendir(::dup(proc.get()));
    if (directory == nullptr) return failWith(errno);
    std::unordered_map<std::uint32_t, ListedEntry> listed;
    listed.reserve(entries_.size());
    // Where each listed process's program run lies, and its parent, to find the forks.
    std::unordered_map<std::uint32_t, RunMark> runs;
    runs.reserve(entries_.size());
    while (const dirent* entry = ::readdir(directory)) {
      std::uint32_t pid = 0;
      if (!parsePid(entry->d_name, &pid)) continue;
      if (auto cached = entries_.find(pid);
          cached != entries_.end() && cached->second.kernelThread && isTrustedInode(entry->d_ino) &&
          cached->second.inode == entry->d_ino) {
        listed.emplace(pid, cached->second);
        continue;
      }
      std::string name = std::string(entry->d_name) + "/stat";
      ProcStat stat;
      if (!readStat(proc.get(), name.c_str(), &stat)) continue;  // gone: nothing to list
      ListedEntry known{entry->d_ino, stat.startTicks, stat.parentPid,
                        (stat.flags & kKernelThreadFlag) != 0};
      listed.emplace(pid, known);
      // A dead task ('X') is being removed: it is as good as gone.
      if (!known.kernelThread && stat.state != 'X') {
        bool ended = hasEnded(stat);
        processes->push_back(
            {{pid, stat.startTicks}, ended, programStamp(stat), false, ended && stat.state != 'Z'});
        runs.emplace(pid, RunMark{stat.parentPid, stat.codeStart, stat.codeEnd, stat.stackStart});
      }
    }
    ::closedir(directory);
    std::optional<bool> systemRandomizes;
    for (ListedProcess& process : *processes) {
      const RunMark& own = runs[process.id.pid];
      auto parent = runs.find(own.parentPid);
      if (parent == runs.end() || !own.sameRun(parent->second)) continue;
      // Only places chosen at random tell a fork from a new run of the same program.
      if (!systemRandomizes) systemRandomizes = systemPlacesAtRandom(proc.get());
      process.forkOfParent = *systemRandomizes && placesAtRandom(proc.get(), process.id.pid);
    }
    entries_ = std::move(listed);
    return true;
  }

  std::unique_ptr<ProcessHandle> open(const ProcessId& id) override {
    auto known = entries_.find(id.pid);
    if (known == entries_.end() || known->second.startTicks != id.startStamp ||
        !isTrustedInode(known->second.inode)) {
      return openProcess(id.pid, id.startStamp);
    }
    std::string path = "/proc/" + std::to_string(id.pid);
    UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory.valid()) {
      failForProcess(errno);
      return nullptr;
    }
    // The entry the listing saw is still there: the folder is that process's, with no read.
    struct stat folder {};
    if (::fstat(directory.get(), &folder) != 0 || folder.st_ino != known->second.inode) {
      return openProcess(id.pid, id.startStamp);
    }
    return std::make_unique<ProcHandle>(id, known->second.parentPid, std::move(directory));
  }

 private:
  std::unordered_map<std::uint32_t, ListedEntry> entries_;  // by pid, from the last listing
};

}  // namespace

// Start stamps are the start times of /proc/<pid>/stat: clock ticks since boot.
std::uint64_t processStartStampNow() {
  timespec now{};
  ::clock_gettime(CLOCK_BOOTTIME, &now);
  auto ticks = static_cast<std::uint64_t>(::sysconf(_SC_CLK_TCK));
  return static_cast<std::uint64_t>(now.tv_sec) * ticks +
         static_cast<std::uint64_t>(now.tv_nsec) * ticks / 1000000000u;
}

std::unique_ptr<ProcessTable> newProcessTable() { return std::make_unique<LinuxProcessTable>(); }

std::unique_ptr<ProcessHandle> openProcess(std::uint32_t pid, std::uint64_t startStamp) {
  ProcStat stat;
  UniqueFd directory = openProcessDirectory({pid, startStamp}, &stat);
  if (!directory.valid()) return nullptr;
  return std::make_unique<ProcHandle>(ProcessId{pid, stat.startTicks}, stat.parentPid,
                                      std::move(directory));
}

template <typename Read>
bool ProcHandle::readThrough(Read read) const {
  if (kept_.valid()) return read(kept_.get());
  ProcStat stat;
  UniqueFd directory = openProcessDirectory(id_, &stat);
  return directory.valid() && read(directory.get());
}

bool ProcHandle::readExecutable(std::string* path) const {
  return readThrough([&](int directory) {
    std::string target(kPathMax, '\0');
    ssize_t length = ::readlinkat(directory, "exe", target.data(), target.size());
    // A first thread that ended before the others has no executable left: another thread has.
    if (length < 0 && errno == ENOENT) length = readOtherThreadsLink(directory, &target);
    if (length < 0) return failForProcess(errno);
    target.resize(static_cast<std::size_t>(length));
    *path = withoutDeletedSuffix(std::move(target));
    return true;
  });
}

bool ProcHandle::readUserSid(std::string* sid) const {
  return readThrough([&](int directory) {
    std::string status;
    std::uint32_t uid = 0;
    if (!readSmallAt(directory, "status", &status)) return false;
    if (!parseStatusUid(status, &uid)) return failWith(EINVAL);
    *sid = kUnixUserSidPrefix + std::to_string(uid);
    return true;
  });
}

bool ProcHandle::isRunning() const {
  return readThrough([](int directory) {
    ProcStat stat;
    return readStat(directory, "stat", &stat) && !hasEnded(stat);
  });
}

bool ProcHandle::readExitCode(std::uint32_t* code) const {
  *code = isRunning() ? kStillActive : 0;
  return true;
}

bool ProcHandle::readModules(std::vector<std::string>* paths) const {
  paths->clear();
  std::string executablePath;
  std::string maps;
  if (!readExecutable(&executablePath) ||
      !readThrough([&](int directory) { return readMappings(directory, &maps); })) {
    return false;
  }
  paths->push_back(executablePath);
  for (std::string& file : parseExecutableMappings(maps)) {
    if (file != executablePath) paths->push_back(std::move(file));
  }
  return true;
}

bool ProcHandle::readProgramMark(std::uint64_t* mark) const {
  // A new program is mapped anew: its code lies elsewhere, or at least ends elsewhere.
  return readThrough([mark](int directory) {
    ProcStat stat;
    if (!readStat(directory, "stat", &stat)) return false;
    // The kernel shows 1 and 1 where it keeps the range from this user, 0 and 0 for no code.
    *mark = stat.codeStart <= 1 && stat.codeEnd <= 1
                ? 0
                : std::hash<std::uint64_t>{}(stat.codeStart) * 31 + stat.codeEnd;
    return true;
  });
}

bool ProcHandle::readParentPid(std::uint32_t* pid) const {
  *pid = parentPid_;
  return true;
}

bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) {
  std::uint32_t uid = 0;
  std::string_view number = std::string_view(sid).substr(
      sid.starts_with(kUnixUserSidPrefix) ? strlen(kUnixUserSidPrefix) : sid.size());
  auto [end, parseError] = std::from_chars(number.data(), number.data() + number.size(), uid);
  // (uid_t)-1 stands for no user in the system's calls.
  if (number.empty() || parseError != std::errc() || end != number.data() + number.size() ||
      uid == std::numeric_limits<std::uint32_t>::max()) {
    setLastError(kErrorInvalidParameter);
    return false;
  }
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  int error = ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found);
  if (found == nullptr && error == 0) {
    // A user with no account entry (a container's, say) is still somebody: named by number,
    // as the system's own tools show it.
    *user = std::to_string(uid);
    domain->clear();
    return true;
  }
  if (found == nullptr) {
    setLastError(win32FromErrno(error));
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
