// The machine's processes as the core sees them: the user-space processes with the start
// stamp that tells a process from a later one of the same id, and a handle that stays bound
// to one process after its id is reused. Kernel threads are not processes here.
#ifndef TARNWICK_PLATFORM_PROCESSTABLE_H_
#define TARNWICK_PLATFORM_PROCESSTABLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace Vantor::platform {

inline constexpr std::uint32_t kStillActive = 259;

// A process id and the stamp of the moment it started: ids are reused, the pair is not.
struct ProcessId {
  std::uint32_t pid = 0;
  std::uint64_t startStamp = 0;

  friend bool operator==(const ProcessId&, const ProcessId&) = default;
  friend auto operator<=>(const ProcessId&, const ProcessId&) = default;
};

// A process as a listing finds it. An ended one has stopped running and waits only for its
// parent to collect it. The program stamp changes when the process goes on to run another
// program (and may change without it: the executable tells).
struct ListedProcess {
  ProcessId id;
  bool ended = false;
  std::uint64_t program = 0;
  // A fork that runs on in the program run of its parent: it has started no program of its
  // own since (where the system can tell; never where it cannot).
  bool forkOfParent = false;
  // Ended but not yet waiting for its parent: inside its exit, it may vanish at any moment.
  bool inExit = false;
};

// An open process. Every read answers a Status, whose code on failure is kErrorAccessDenied
// for lack of rights, kErrorInvalidParameter when the process no longer exists. After release() a
// handle holds no system resource: each call finds the process again and checks its start stamp, so
// a handle never reads a later process of the same id. One thread at a time.
class ProcessHandle {
 public:
  virtual ~ProcessHandle() = default;

  virtual std::uint32_t pid() const = 0;
  virtual std::uint64_t startStamp() const = 0;
  // Lets go of what opening keeps for the reads that follow it at once; the handle stays open.
  virtual void release() = 0;

  // Full path of the executable file, as the system names it.
  virtual Status executable(std::string* path) const = 0;
  // The account the process runs as, as a security identifier text ("S-1-...").
  virtual Status userSid(std::string* sid) const = 0;
  // True while the process runs; false when it has ended (also while its parent has not yet
  // collected it).
  virtual bool isRunning() const = 0;
  // kStillActive while the process runs, 0 after its end: the exit code of a process that
  // is not our child cannot be read by polling.
  virtual Status exitCode(std::uint32_t* code) const = 0;
  // Paths of the distinct files mapped as code, the executable first.
  virtual Status modules(std::vector<std::string>* paths) const = 0;
  // A number for the program the process runs: another program gets another number, while a
  // rename or move of its file changes nothing. 0 where the system keeps it from this user.
  virtual Status programMark(std::uint64_t* mark) const = 0;
  virtual Status parentPid(std::uint32_t* pid) const = 0;
};

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // REQUIRES: external synchronization.
  // Every user-space process, in the system's order, at the cost of at most one small read
  // for each. False when the table cannot be read.
  virtual bool list(std::vector<ListedProcess>* processes) = 0;
  // Opens a process of the last listing, as Env::openProcess(id.pid, id.startStamp) does, at
  // less cost where the table knows a cheaper check; null when it cannot.
  virtual std::unique_ptr<ProcessHandle> open(const ProcessId& id) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PROCESSTABLE_H_
