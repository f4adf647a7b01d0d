// One observed process: its identity, executable, user, product name, times and state, and
// the modules it has loaded and its performance samples. Sources build it from a pid; the process
// map owns it through ProcessRef. From the first successful open an object is bound to its process
// by pid and start stamp, so a later process of the same id is never mistaken for it. No operation
// throws; failures end in the markers below. An object has no lock: one thread at a time
// uses it (a source while it builds it, then the process map under its lock).
#ifndef TARNWICK_USAGE_PROCESS_H_
#define TARNWICK_USAGE_PROCESS_H_

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "foundation/DateTime.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/ProcessTable.h"
#include "usage/CounterSample.h"

namespace Vantor {

enum class ProcessState : std::int32_t { Started = 0, Ended = 1, Unknown = 3 };

// Account names looked up during one scan: a machine with thousands of processes has a
// handful of users, and each lookup may ask the name service.
class AccountNames {
 public:
  explicit AccountNames(platform::Env& env) : env_(&env) {}

  platform::Status lookup(const std::string& sid, std::string* user, std::string* domain);

 private:
  platform::Env* env_;
  struct Answer {
    platform::Status status;
    std::string user;
    std::string domain;
  };
  std::map<std::string, Answer> answers_;
};

// A process start or end as a kernel trace event told it, decoded.
struct ProcessEvent {
  ProcessState state = ProcessState::Unknown;
  DateTime time;
  std::uint32_t pid = 0;
  std::uint32_t parentPid = 0;
  // User and domain the event's security identifier names: empty when it names none, absent
  // when it could not be looked up.
  std::optional<std::pair<std::string, std::string>> user;
  // The event's image: here the executable's path, read as the program started, or the
  // kernel's name for a process that was gone before it could be read.
  std::string image;
  std::optional<std::uint32_t> exitCode;
  // An end of a process whose start no event reported (it never ran a program of its own):
  // it ends what a listing found, and nothing else waits for it.
  bool startUnseen = false;
  // The process's start stamp, and its start to the nanosecond (which tells apart processes of
  // a pid started within one tick of the stamp), where the source knows them: the event is
  // then of that process alone, never of a later one with its pid. 0 when not known.
  std::uint64_t startStamp = 0;
  std::uint64_t exactStart = 0;
};

struct ModuleRecord {
  std::string name;
  std::int64_t firstSeen = 0;  // seconds since 1970
  std::int64_t lastSeen = 0;
};

class Process {
 public:
  // A module table holds no more than this: a process that maps ever more files as code
  // cannot make the agent hold ever more.
  static constexpr std::size_t kMaxModules = 1024;
  static constexpr char kUnknown[] = "<<unknown>>";
  static constexpr char kLost[] = "<<lost>>";
  static constexpr char kAccessDenied[] = "(ACCESS DENIED)";
  static constexpr std::uint32_t kStillActive = platform::kStillActive;

  static bool isUnknown(const std::string& text) { return text == kUnknown; }

  // From a pid: a given start time replaces "now"; a running process has its executable
  // and user read at once, any other is taken as ended. A non-zero start stamp binds the
  // object to the process that started then; accounts, when given, answers user lookups.
  Process(platform::Env& env, std::uint32_t pid, const DateTime* startTime, bool running,
          std::uint64_t startStamp = 0, AccountNames* accounts = nullptr);
  // From a handle a process table opened: a running process read at once.
  Process(platform::Env& env, std::unique_ptr<platform::ProcessHandle> opened,
          AccountNames* accounts);
  // From a kernel trace event: an end as it is, a start with its process opened.
  Process(platform::Env& env, const ProcessEvent& event);
  virtual ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The caller's name only labels the debug lines.
  bool openProcess(const std::string& caller, std::uint32_t pid, bool& accessDenied, bool& lost);
  void invalidate();
  // Reads the executable of any pid through this object's handle.
  void getProcessInfo(std::uint32_t pid, std::string& executable);
  // Reads executable and user of this object's own process.
  void getProcessInfo2(std::uint32_t pid, std::string& executable,
                       AccountNames* accounts = nullptr);
  // 0 on success, -1 on failure.
  int getImageFileName(const std::string& caller, std::uint32_t pid, std::string& executable);
  bool getUserFromSid(const std::string& sid);
  // The exit code an end event told; else kStillActive while running, and 0 when it cannot be
  // read.
  std::uint32_t getExitCode();
  // Takes the exit code another object of this process learnt, if it learnt one.
  void copyExitCode(const Process& other);
  // Keeps the exit code of an ended process that its handle can still tell (where the system
  // keeps exit codes for whoever holds a process open), before the handle goes.
  void keepExitCode();
  void setExitCode(std::uint32_t code) { exitCode_ = code; }
  // An end event whose start no event reported.
  bool startUnseen() const { return startUnseen_; }
  // Handle open and the process still running; silent.
  bool isRunning() const;
  // Known to have ended: its handle says so, or, never opened, no process has its pid now
  // (none that started when it did, where that is known).
  bool hasEnded() const;
  // Base names of the modules the process has loaded, its executable's first; none for an
  // ended process or one that cannot be read.
  void getModules(std::vector<std::string>& names);
  // The same through any handle (the module poller reads without the process map's lock).
  static platform::Status moduleNames(const platform::ProcessHandle& handle,
                                      std::vector<std::string>& names);
  // The modules that went away since the last call, each with first and last seen.
  std::vector<ModuleRecord> updateModules();
  // The same with names getModules or moduleNames read at the second now.
  std::vector<ModuleRecord> updateModules(std::vector<std::string> names, std::int64_t now);
  // Ends the stretch of every module still loaded at until (a dump), each returned as a
  // record; each starts a new stretch there.
  std::vector<ModuleRecord> restartModules(std::int64_t until);
  // Empties the module table: its stretches are not recorded.
  void forgetModules();
  // Grows with every change of the module table: tells whether names read earlier are
  // still the latest.
  std::uint64_t moduleUpdates() const { return moduleUpdates_; }
  // The program mark (ProcessHandle::programMark) read when the process was first opened;
  // 0 when none was read.
  std::uint64_t programMark() const { return programMark_; }
  // Whether the executable is the one an event named as the program started, rather than one
  // read from the process as it ran when it was read.
  bool executableFromEvent() const { return executableFromEvent_; }
  void refreshInfo();
  // Reads executable and, where still unknown, user again, for a start that could not be
  // read at first. The state is left alone.
  void reread();
  bool hasHandle() const { return handle_ != nullptr; }
  // A process found gone whose executable was never read carries the "<<lost>>" marker.
  void markLost();
  // Executable, product name and user from another object.
  void copyInfo(const Process& other);

  std::uint32_t pid() const { return pid_; }
  // Tells this process from a later one of the same pid; 0 until the process was opened.
  std::uint64_t startStamp() const { return startStamp_; }
  // The start to the nanosecond, as an event told it; 0 when none did.
  std::uint64_t exactStart() const { return exactStart_; }
  std::uint32_t parentPid() const { return parentPid_; }
  const std::string& executable() const { return executable_; }
  const std::string& parentExecutable() const { return parentExecutable_; }
  const std::string& productName() const { return productName_; }
  void setProductName(const std::string& name) { productName_ = name; }
  ProcessState state() const { return state_; }
  void setState(ProcessState state) { state_ = state; }
  const DateTime& startTime() const { return startTime_; }
  void setStartTime(const DateTime& time) { startTime_ = time; }
  // A delivery recorded the process up to time: its next record starts there.
  void resumeAt(const DateTime& time) {
    startTime_ = time;
    resumed_ = true;
  }
  // Whether the start time is a delivery's, not the process's own.
  bool resumed() const { return resumed_; }
  const DateTime& endTime() const { return endTime_; }
  void setEndTime(const DateTime& time) { endTime_ = time; }
  const std::string& userName() const { return userName_; }
  const std::string& domain() const { return domain_; }
  const std::string& fullUserName() const { return fullUserName_; }
  bool firstRecordWritten() const { return firstRecord_; }
  void setFirstRecordWritten(bool written) { firstRecord_ = written; }
  // Whether the performance monitor measures the process, and its counters' aggregates.
  bool measured() const { return measured_; }
  void setMeasured(bool measured) { measured_ = measured; }
  std::vector<CounterSample>& samples() { return samples_; }
  // The second up to which a performance record counted the process; 0 when none did.
  std::int64_t measuredUntil() const {
    std::int64_t until = 0;
    for (const CounterSample& sample : samples_) {
      until = std::max<std::int64_t>(until, sample.lastOutput);
    }
    return until;
  }

  // Installs the logger of every Process (null: silent) and the machine's name.
  static void setLogger(const LoggerUnit* logger, const std::string& computerName);
  static std::string computerName();

 private:
  template <typename... Args>
  static void debug(std::int32_t level, std::string_view format, const Args&... args);
  // The steps every constructor from a pid shares.
  void start(const DateTime* startTime, bool running, AccountNames* accounts);
  // Reads the executable path of the open process: 0, or the error code with executable
  // unchanged.
  std::uint32_t readExecutable(const std::string& caller, std::uint32_t pid,
                               std::string& executable);
  void setUser(const std::string& user, const std::string& domain);
  void readUser(AccountNames* accounts);

  platform::Env& env_;
  std::unique_ptr<platform::ProcessHandle> handle_;  // null while the process is not open
  std::uint32_t pid_;
  std::uint64_t startStamp_;
  std::uint64_t exactStart_ = 0;
  std::uint32_t parentPid_ = 0;
  std::string executable_ = kUnknown;
  std::string parentExecutable_ = kUnknown;
  std::string productName_;
  ProcessState state_ = ProcessState::Unknown;
  bool firstRecord_ = false;
  DateTime startTime_;
  DateTime endTime_;
  std::string userName_ = kUnknown;
  std::string domain_ = kUnknown;
  std::string fullUserName_ = kUnknown;
  std::map<std::string, std::pair<std::int64_t, std::int64_t>> modules_;
  std::uint64_t moduleUpdates_ = 0;
  std::uint64_t programMark_ = 0;
  bool executableFromEvent_ = false;
  bool moduleCapReported_ = false;
  std::optional<std::uint32_t> exitCode_;
  bool startUnseen_ = false;
  bool resumed_ = false;
  bool measured_ = false;
  std::vector<CounterSample> samples_;
};

using ProcessRef = std::shared_ptr<Process>;

}  // namespace Vantor

#endif  // TARNWICK_USAGE_PROCESS_H_
