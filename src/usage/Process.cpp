#include "usage/Process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "foundation/FileUtils.h"
#include "foundation/InventoryOps.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

constexpr int kExecutableTries = 4;
constexpr auto kExecutableRetryPause = std::chrono::milliseconds(50);
constexpr int kFirstVersionWithImageNames = 51;

std::atomic<const LoggerUnit*> classLogger{nullptr};

platform::Mutex staticsMutex;
std::string classComputerName GUARDED_BY(staticsMutex);

}  // namespace

template <typename... Args>
void Process::debug(std::int32_t level, std::string_view format, const Args&... args) {
  if (const LoggerUnit* logger = classLogger.load()) logger->debug(level, format, args...);
}

void Process::setLogger(const LoggerUnit* logger, const std::string& computerName) {
  classLogger.store(logger);
  if (logger == nullptr) return;
  platform::MutexLock lock(&staticsMutex);
  classComputerName = computerName;
}

std::string Process::computerName() {
  platform::MutexLock lock(&staticsMutex);
  return classComputerName;
}

platform::Status AccountNames::lookup(const std::string& sid, std::string* user,
                                      std::string* domain) {
  auto [answer, added] = answers_.try_emplace(sid);
  if (added) {
    answer->second.status =
        env_->lookupAccountSid(sid, &answer->second.user, &answer->second.domain);
  }
  if (!answer->second.status) return answer->second.status;
  *user = answer->second.user;
  *domain = answer->second.domain;
  return {};
}

Process::Process(platform::Env& env, std::uint32_t pid, const DateTime* startTime, bool running,
                 std::uint64_t startStamp, AccountNames* accounts)
    : env_(env), pid_(pid), startStamp_(startStamp) {
  start(startTime, running, accounts);
}

Process::Process(platform::Env& env, std::unique_ptr<platform::ProcessHandle> opened,
                 AccountNames* accounts)
    : env_(env),
      handle_(std::move(opened)),
      pid_(handle_->pid()),
      startStamp_(handle_->startStamp()) {
  handle_->programMark(&programMark_);
  start(nullptr, true, accounts);
}

Process::Process(platform::Env& env, const ProcessEvent& event)
    : env_(env), pid_(0), startStamp_(event.startStamp), exactStart_(event.exactStart) {
  startTime_ = event.time;
  if (event.state != ProcessState::Started && event.state != ProcessState::Ended) return;
  state_ = event.state;
  pid_ = event.pid;
  parentPid_ = event.parentPid;
  if (event.user) {
    userName_ = event.user->first;
    domain_ = event.user->second;
    // A local account belongs to this computer; an event without an account names nobody.
    if (domain_.empty() && !userName_.empty()) domain_ = computerName();
    fullUserName_ = "\\\\" + domain_ + "\\" + userName_;
  }
  if (!event.image.empty()) {
    executable_ = event.image;
    executableFromEvent_ = true;
  }
  if (state_ == ProcessState::Ended) {
    endTime_ = event.time;
    exitCode_ = event.exitCode;
    startUnseen_ = event.startUnseen;
    if (LoggerUnit::wants(4))
      debug(4, "   Process: Got end time: %s", endTime_.toString(false, false, true));
    return;
  }
  debug(4, "   Process: Got process \"%s\" (%i), parent \"%s\" (%i).", executable_, pid_,
        parentExecutable_, parentPid_);
  // Only the debug lines name the parent: at thousands of starts a second, it is read only
  // for a reader.
  if (LoggerUnit::wants(4)) {
    std::string parent = kLost;
    getProcessInfo(parentPid_, parent);
    if (parent != kLost && !isUnknown(parent)) parentExecutable_ = parent;
    invalidate();
  }
  // A path and a stamp that came with the start bind the object to its process already.
  bool bound = FileUtils::isAbsolute(executable_) && startStamp_ != 0;
  if (FileUtils::isAbsolute(executable_) && !bound) {
    // The path was read as the program started: a second read could only find less.
    bool accessDenied = false;
    bool lost = false;
    if (openProcess("Process", pid_, accessDenied, lost)) handle_->release();
  } else if (!bound) {
    std::string own = kLost;
    getProcessInfo(pid_, own);
    if (own != kLost && !isUnknown(own)) {
      executable_ = own;
      executableFromEvent_ = false;
    }
  }
  if (isUnknown(userName_)) {
    debug(4,
          "   Process: We didn't get user SID from the event. Trying to access the process "
          "directly.");
    std::string read = executable_;
    getProcessInfo2(pid_, read);
    // The event saw it start: one gone before it could be read is metered as what the event
    // named, or as lost, never dropped.
    state_ = ProcessState::Started;
    if (!FileUtils::isAbsolute(executable_)) {
      executable_ = read;
      executableFromEvent_ = false;
    }
  }
  debug(4, "   Process: Got user name \"%s\" (\"%s\").", userName_, fullUserName_);
  if (LoggerUnit::wants(4))
    debug(4, "   Process: Got start time: %s", startTime_.toString(false, false, true));
}

void Process::start(const DateTime* startTime, bool running, AccountNames* accounts) {
  debug(5, "Process: Created process for pid %i.", pid_);
  if (startTime != nullptr) {
    startTime_ = *startTime;
    debug(5, "   Process: Got start time from system.");
  } else {
    debug(5, "   Process: No start time registered. Setting start = now.");
  }
  // Every scan builds one object per process: the time is formatted only for a reader.
  if (LoggerUnit::wants(5)) {
    debug(5, "   Process: Process started %s.", startTime_.toString(false, false, true));
  }
  if (running) {
    state_ = ProcessState::Started;
    getProcessInfo2(pid_, executable_, accounts);
  } else {
    state_ = ProcessState::Ended;
  }
}

Process::~Process() { invalidate(); }

bool Process::openProcess(const std::string& caller, std::uint32_t pid, bool& accessDenied,
                          bool& lost) {
  debug(5, "openProcess.%s: Opening process %i...", caller, pid);
  if (handle_ != nullptr) {
    debug(5, "   openProcess.%s: Process is already open.", caller);
    return true;
  }
  accessDenied = lost = false;
  // This object's own process is the one of its start stamp, never a later one of its pid.
  bool own = pid == pid_;
  platform::Expected<std::unique_ptr<platform::ProcessHandle>> opened =
      env_.openProcess(pid, own ? startStamp_ : 0);
  if (!opened) {
    std::uint32_t error = opened.error();
    if (error == platform::kErrorAccessDenied) {
      accessDenied = true;
      debug(3, "   openProcess.%s: Access denied to process.", caller);
    } else if (error == platform::kErrorInvalidParameter) {
      lost = true;
      debug(3, "   openProcess.%s: Process lost.", caller);
    } else {
      debug(3, "   openProcess.%s: Got error code %i. (pid=%i)", caller, error, pid);
    }
    return false;
  }
  handle_ = std::move(opened.value());
  if (own) {
    startStamp_ = handle_->startStamp();
    if (programMark_ == 0) handle_->programMark(&programMark_);
  }
  debug(5, "   openProcess.%s: Process opened.", caller);
  return true;
}

void Process::invalidate() {
  debug(5, "invalidate: Invalidating process...");
  if (!handle_) {
    debug(5, "   invalidate: Process already invalid.");
    return;
  }
  handle_.reset();
  debug(5, "   invalidate: Process %i invalidated.", pid_);
}

std::uint32_t Process::readExecutable(const std::string& caller, std::uint32_t pid,
                                      std::string& executable) {
  std::string path;
  if (platform::Status read = handle_->executable(&path); !read) {
    std::uint32_t error = read.code();
    debug(3, "   %s: Unable to get module file name for process %i. (Windows error code %i)",
          caller, pid, error);
    return error;
  }
  executable = FileUtils::foldCase(path);
  debug(5, "   %s: Got module (process) file name. Executable is \"%s\".", caller, executable);
  return platform::kErrorSuccess;
}

namespace {
// The marker for a process that could not be opened.
const char* openFailureMarker(bool accessDenied, bool lost) {
  if (accessDenied) return Process::kAccessDenied;
  return lost ? Process::kLost : Process::kUnknown;
}
}  // namespace

void Process::getProcessInfo(std::uint32_t pid, std::string& executable) {
  debug(5, "getProcessInfo: Getting info for process %i...", pid);
  bool accessDenied = false;
  bool lost = false;
  if (!openProcess("getProcessInfo", pid, accessDenied, lost)) {
    executable = openFailureMarker(accessDenied, lost);
    return;
  }
  debug(5, "   getProcessInfo: Got handle.");
  if (std::uint32_t error = readExecutable("getProcessInfo", pid, executable)) {
    debug(1, "   getProcessInfo: Failed to run EnumProcessModules (%i)", error);
    // Another user's executable is refused to an agent without the right to read it; its
    // user and its running state can still be known.
    if (error == platform::kErrorAccessDenied) {
      executable = kAccessDenied;
    } else {
      getImageFileName("getProcessInfo", pid, executable);
    }
  }
  if (executable.empty()) executable = kUnknown;
  // A process object holds nothing of the system's between reads.
  handle_->release();
  debug(5, "   getProcessInfo: Finished with process.");
}

void Process::getProcessInfo2(std::uint32_t pid, std::string& executable, AccountNames* accounts) {
  debug(5, "getProcessInfo2: Accessing process %i...", pid);
  bool accessDenied = false;
  bool lost = false;
  if (!openProcess("getProcessInfo2", pid, accessDenied, lost)) {
    executable = openFailureMarker(accessDenied, lost);
    state_ = ProcessState::Unknown;
    return;
  }
  debug(5, "   getProcessInfo2: Got handle.");
  std::uint32_t error = platform::kErrorSuccess;
  for (int attempt = 0; attempt < kExecutableTries; ++attempt) {
    error = readExecutable("getProcessInfo2", pid, executable);
    // A refusal or an ended process never gives the executable back: waiting only slows
    // the scan.
    if (error == platform::kErrorSuccess || error == platform::kErrorAccessDenied ||
        !handle_->isRunning()) {
      break;
    }
    std::this_thread::sleep_for(kExecutableRetryPause);
  }
  if (error != platform::kErrorSuccess) {
    debug(3, "   getProcessInfo2: Failed to run EnumProcessModules (%i)", error);
    if (error == platform::kErrorAccessDenied) {
      executable = kAccessDenied;
    } else if (getImageFileName("getProcessInfo2", pid, executable) != 0) {
      state_ = ProcessState::Unknown;
      debug(5, "   getProcessInfo2: Failed to enumerate modules.");
    }
  }
  if (executable.empty()) executable = kUnknown;
  readUser(accounts);
  handle_->release();
  debug(5, "   getProcessInfo2: Finished with process.");
}

void Process::readUser(AccountNames* accounts) {
  std::string sid;
  if (platform::Status read = handle_->userSid(&sid); !read) {
    debug(5,
          "   getProcessInfo2: Failed to open token, and thus also get user info. (Error code "
          "%i)",
          read.code());
    setUser("System", computerName());
    return;
  }
  debug(5, "   getProcessInfo2: Got token.");
  std::string user = kUnknown;
  std::string domain = kUnknown;
  platform::Status found = accounts != nullptr ? accounts->lookup(sid, &user, &domain)
                                               : env_.lookupAccountSid(sid, &user, &domain);
  if (!found) {
    debug(5,
          "   getProcessInfo2: Failed to look up account sid, and thus also get user info. "
          "(Error code %i)",
          found.code());
    setUser("System", computerName());
    return;
  }
  setUser(user, domain);
  debug(5, "   getProcessInfo2: Got user info: User=%s, Domain=%s.", userName_, domain_);
}

void Process::setUser(const std::string& user, const std::string& domain) {
  userName_ = user;
  // A local account belongs to this computer, whose name was read once.
  domain_ = domain.empty() ? computerName() : domain;
  fullUserName_ = "\\\\" + domain_ + "\\" + userName_;
}

int Process::getImageFileName(const std::string& caller, std::uint32_t pid,
                              std::string& executable) {
  if (InventoryOps::windowsVersion(env_.systemFacts()) < kFirstVersionWithImageNames) {
    debug(3, "   %s: Unable to get process file name for process %i. (Windows error code %i)",
          caller, pid, platform::kErrorCallNotImplemented);
    return -1;
  }
  // Here the system names the image by the same link as the executable: a second read
  // catches a process that finished starting in between.
  std::string path;
  if (platform::Status read = handle_->executable(&path); !read) {
    debug(3, "   %s: Unable to get process image file name for process %i. (Windows error code %i)",
          caller, pid, read.code());
    return -1;
  }
  executable = FileUtils::foldCase(path);
  debug(5, "   %s: Got process file name. Executable is \"%s\".", caller, executable);
  return 0;
}

bool Process::getUserFromSid(const std::string& sid) {
  std::string user = kUnknown;
  std::string domain = kUnknown;
  if (!env_.lookupAccountSid(sid, &user, &domain)) return false;
  setUser(user, domain);
  debug(5, "   getUserFromSid: Looked up account sid.");
  return true;
}

std::uint32_t Process::getExitCode() {
  debug(5, "getExitCode: Getting exit code for process %i.", pid_);
  if (exitCode_) return *exitCode_;
  if (!handle_) return 0;
  std::uint32_t code = 0;
  if (!handle_->exitCode(&code)) {
    debug(1, "   getExitCode: Unable to get exit code from process %i, started at %s.", pid_,
          startTime_.toString(false, false, true));
    if (const LoggerUnit* logger = classLogger.load()) {
      logger->warning(13, executable_, static_cast<std::int64_t>(startTime_.getValue()));
    }
    invalidate();
    return 0;
  }
  debug(5, "   getExitCode: Got exit code %i from process %i.", code, pid_);
  return code;
}

bool Process::hasEnded() const {
  if (handle_) return !handle_->isRunning();
  // Bound by its start stamp where known: a later process that took the pid is another one.
  return !env_.openProcess(pid_, startStamp_);
}

bool Process::isRunning() const { return handle_ && handle_->isRunning(); }

void Process::getModules(std::vector<std::string>& names) {
  debug(4, "getModules: Getting modules for process %i (%s)...", pid_, executable_);
  names.clear();
  if (state_ == ProcessState::Ended) {
    debug(5, "   getModules: No modules registered for ended process.");
    return;
  }
  bool accessDenied = false;
  bool lost = false;
  if (!openProcess("getModules", pid_, accessDenied, lost)) return;
  debug(5, "   getModules: Got handle.");
  platform::Status listed = moduleNames(*handle_, names);
  handle_->release();
  if (!listed) {
    debug(1, "   getModules: Failed to enumerate modules. Error code = %i", listed.code());
    return;
  }
  debug(4, "   getModules: Got %i module(s).", static_cast<std::int64_t>(names.size()));
}

platform::Status Process::moduleNames(const platform::ProcessHandle& handle,
                                      std::vector<std::string>& names) {
  names.clear();
  std::vector<std::string> paths;
  if (platform::Status listed = handle.modules(&paths); !listed) return listed;
  for (const std::string& path : paths) {
    std::string name = FileUtils::foldCase(FileUtils::baseName(path));
    if (!name.empty()) names.push_back(std::move(name));
  }
  return {};
}

std::vector<ModuleRecord> Process::updateModules() {
  std::int64_t now = DateTime().getValue();
  std::vector<std::string> names;
  getModules(names);
  return updateModules(std::move(names), now);
}

std::vector<ModuleRecord> Process::updateModules(std::vector<std::string> names, std::int64_t now) {
  debug(4, "updateModules: Updating. (%i existing module(s).)",
        static_cast<std::int64_t>(modules_.size()));
  ++moduleUpdates_;
  if (!names.empty()) names.erase(names.begin());
  debug(5, "   updateModules: Counted %i module(s).", static_cast<std::int64_t>(names.size()));
  std::int64_t added = 0;
  std::set<std::string> listed;
  // Room for new modules is what those still loaded leave.
  std::size_t kept = static_cast<std::size_t>(
      std::count_if(names.begin(), names.end(), [&](const std::string& name) {
        return modules_.count(name) != 0 && listed.insert(name).second;
      }));
  listed.clear();
  for (const std::string& name : names) {
    auto entry = modules_.find(name);
    if (entry != modules_.end()) {
      entry->second.second = now;
    } else if (kept + static_cast<std::size_t>(added) < kMaxModules) {
      modules_.try_emplace(name, now, now);
      ++added;
    } else {
      // Once per process: a process over the cap would otherwise fill the log at every look.
      if (!moduleCapReported_) {
        debug(3,
              "   updateModules: More than %i modules in process %i; \"%s\" and any others "
              "over that number are not recorded.",
              static_cast<std::int64_t>(kMaxModules), pid_, name);
        moduleCapReported_ = true;
      }
      continue;
    }
    listed.insert(name);
  }
  // Present means listed by this call: two calls within one second must still see a module
  // go (an ended process is asked once, and its modules would be lost).
  std::vector<ModuleRecord> ended;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> current;
  for (const auto& [name, seen] : modules_) {
    if (listed.count(name) != 0) {
      current.emplace(name, seen);
    } else {
      ended.push_back({name, seen.first, now});
    }
  }
  modules_ = std::move(current);
  debug(4, "   updateModules: There were %i new module(s), and %i had ended.", added,
        static_cast<std::int64_t>(ended.size()));
  return ended;
}

void Process::forgetModules() {
  ++moduleUpdates_;
  modules_.clear();
}

std::vector<ModuleRecord> Process::restartModules(std::int64_t until) {
  ++moduleUpdates_;
  std::vector<ModuleRecord> stretches;
  for (auto& [name, seen] : modules_) {
    stretches.push_back({name, seen.first, std::max(seen.first, until)});
    seen = {until, until};
  }
  return stretches;
}

void Process::refreshInfo() {
  invalidate();
  if (isUnknown(parentExecutable_)) {
    getProcessInfo(parentPid_, parentExecutable_);
    invalidate();
  }
  getProcessInfo(pid_, executable_);
}

void Process::reread() {
  invalidate();
  getProcessInfo(pid_, executable_);
  executableFromEvent_ = false;
  if (handle_ != nullptr && isUnknown(userName_)) readUser(nullptr);
}

void Process::copyExitCode(const Process& other) {
  if (other.exitCode_) exitCode_ = other.exitCode_;
}

void Process::keepExitCode() {
  std::uint32_t code = 0;
  if (!exitCode_ && handle_ && handle_->exitCode(&code) && code != platform::kStillActive) {
    exitCode_ = code;
  }
}

void Process::markLost() {
  if (isUnknown(executable_)) executable_ = kLost;
}

void Process::copyInfo(const Process& other) {
  executable_ = other.executable_;
  executableFromEvent_ = other.executableFromEvent_;
  productName_ = other.productName_;
  userName_ = other.userName_;
  domain_ = other.domain_;
  fullUserName_ = other.fullUserName_;
}

}  // namespace Vantor
