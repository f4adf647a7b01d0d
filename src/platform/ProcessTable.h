// The machine's processes as the core sees them: the user-space processes with the start
// stamp that tells a process from a later one of the same id, and a handle that stays bound
// to one process after its id is reused. Kernel threads are not processes here.
#ifndef TARNWICK_PLATFORM_PROCESSTABLE_H_
#define TARNWICK_PLATFORM_PROCESSTABLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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
};

class ProcessHandle;
// A process's own folder, open and checked to be that process: the platform defines it.
struct ProcessFolder;

class ProcessTable {
 public:
  virtual ~ProcessTable() = default;

  // REQUIRES: external synchronization.
  // Every user-space process, in the system's order, at the cost of at most one small read
  // for each. False (lastError set) when the table cannot be read.
  virtual bool list(std::vector<ListedProcess>* processes) = 0;
  // Opens the handle of a process of the last listing: the same as handle->open(id.pid,
  // id.startStamp), at less cost where the table knows a cheaper check.
  virtual bool open(const ProcessId& id, ProcessHandle* handle);

 protected:
  // Binds handle to a process whose folder an implementation has open and checked.
  static void bind(ProcessHandle* handle, const ProcessId& id, std::uint32_t parentPid,
                   std::unique_ptr<ProcessFolder> folder);
};

// Every operation returns false with lastError() set on failure: kErrorAccessDenied for
// lack of rights, kErrorInvalidParameter when the process no longer exists. After release()
// a handle holds no system resource: each call finds the process again and checks its start
// stamp, so a handle never reads a later process of the same id. One thread at a time.
class ProcessHandle {
 public:
  ProcessHandle();
  ~ProcessHandle();
  ProcessHandle(ProcessHandle&&) noexcept;
  ProcessHandle& operator=(ProcessHandle&&) noexcept;
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  // Binds to the process that has pid now, or, with a non-zero start stamp, only to the one
  // that started then. Succeeds for a process whose executable is refused to this user.
  bool open(std::uint32_t pid, std::uint64_t startStamp = 0);
  // Lets go of what open() keeps for the reads that follow it at once; the handle stays open.
  void release();
  void close();
  bool isOpen() const { return open_; }
  std::uint32_t pid() const { return id_.pid; }
  std::uint64_t startStamp() const { return id_.startStamp; }

  // Full path of the executable file, as the system names it.
  bool executable(std::string* path) const;
  // The account the process runs as, as a security identifier text ("S-1-...").
  bool userSid(std::string* sid) const;
  // True while the process runs; false when it has ended (also while its parent has not yet
  // collected it) or the handle is closed.
  bool isRunning() const;
  // kStillActive while the process runs, 0 after its end: the exit code of a process that
  // is not our child cannot be read by polling.
  bool exitCode(std::uint32_t* code) const;
  // Paths of the distinct files mapped as code, the executable first.
  bool modules(std::vector<std::string>* paths) const;
  // A number for the program the process runs: another program gets another number, while a
  // rename or move of its file changes nothing. 0 where the system keeps it from this user.
  bool programMark(std::uint64_t* mark) const;
  bool parentPid(std::uint32_t* pid) const;

 private:
  friend class ProcessTable;
  // Calls read with the process's own folder, checked to be this process: the kept one, or
  // one found again for this call.
  template <typename Read>
  bool readThrough(Read read) const;

  std::unique_ptr<ProcessFolder> kept_;  // from open() to release()
  ProcessId id_;
  std::uint32_t parentPid_ = 0;
  bool open_ = false;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PROCESSTABLE_H_
