// The machine's processes as the core sees them: the ids of the user-space processes, and a
// handle that stays bound to one process even after its id is reused. Kernel threads are
// not processes here.
#ifndef TARNWICK_PLATFORM_PROCESSTABLE_H_
#define TARNWICK_PLATFORM_PROCESSTABLE_H_

#include <cstdint>
#include <string>
#include <vector>

namespace Vantor::platform {

inline constexpr std::uint32_t kStillActive = 259;

// Ids of every user-space process, in the system's order. False (lastError set) when the
// process table cannot be read.
bool listProcesses(std::vector<std::uint32_t>* pids);

// Every operation returns false with lastError() set on failure: kErrorAccessDenied for
// lack of rights, kErrorInvalidParameter when the process no longer exists.
class ProcessHandle {
 public:
  ProcessHandle() = default;
  ~ProcessHandle();
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  bool open(std::uint32_t pid);
  void close();
  bool isOpen() const { return directory_ >= 0; }

  // Full path of the executable file, as the system names it.
  bool executable(std::string* path) const;
  // The account the process runs as, as a security identifier text ("S-1-...").
  bool userSid(std::string* sid) const;
  // True while the process runs; false when it has ended or the handle is closed.
  bool isRunning() const;
  // kStillActive while the process runs, 0 after its end: the exit code of a process that
  // is not our child cannot be read on every system.
  bool exitCode(std::uint32_t* code) const;
  // Paths of the distinct files mapped as code, the executable first.
  bool modules(std::vector<std::string>* paths) const;
  bool parentPid(std::uint32_t* pid) const;

 private:
  std::uint32_t pid_ = 0;
  int directory_ = -1;  // /proc/<pid>: reads fail once the process is gone
  int pidfd_ = -1;      // readable once the process has ended
};

// User and domain of a security identifier. False (lastError set) for an unknown one.
bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PROCESSTABLE_H_
