// The kernel's process connector: its messages read into values, and the bookkeeping that
// turns them into process starts and ends. Pure code over bytes: any input is safe.
#ifndef TARNWICK_PLATFORM_POSIX_PROCCONNECTOR_H_
#define TARNWICK_PLATFORM_POSIX_PROCCONNECTOR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vantor::platform {

enum class ProcEventKind : std::uint32_t {
  kNone = 0,
  kFork = 1,
  kExec = 2,
  kUid = 4,
  kExit = 0x80000000,
};

struct ProcEvent {
  std::uint32_t what = 0;  // a ProcEventKind, or one this code does not use
  std::uint32_t cpu = 0;
  std::uint32_t sequence = 0;    // counts the events of each processor
  std::uint64_t timeNanos = 0;   // the kernel's monotonic clock
  std::uint32_t pid = 0;         // the thread (fork: the new one)
  std::uint32_t tgid = 0;        // its process
  std::uint32_t parentTgid = 0;  // fork only
  std::uint32_t realUid = 0;     // uid change only
  std::uint32_t exitCode = 0;    // exit only, as wait() reports it
};

// One netlink datagram of the connector; false for anything else or anything cut short.
bool parseProcEvent(const std::uint8_t* data, std::size_t size, ProcEvent* event);

// The status a shell reports for a wait() status: the exit code, or 128 plus the signal.
std::int32_t shellStatus(std::uint32_t waitStatus);

// What the tracker makes of an event. A process's first thread may end before the others
// (or be replaced by the one that starts another program): whether the process ended, only
// the system can tell at that moment; a later thread's end may be the process's.
struct ProcChange {
  enum Kind {
    kNothing,
    kStart,       // a program started
    kEnd,         // the first thread of a process ended
    kForkedEnd,   // a process that never started a program of its own ended
    kThreadEnd,   // another thread ended
  } kind = kNothing;
  std::uint32_t pid = 0;
  // Start: what earlier events told of the process, for when it cannot be read.
  std::uint32_t parentPid = 0;
  std::optional<std::uint32_t> realUid;
  // End: the shell's exit status.
  std::int32_t exitStatus = 0;
};

// Turns connector events into starts (every exec) and ends (the exit of a process's first
// thread; told apart when the process was forked under watch and never ran a program).
// Counts events lost from the gaps in each processor's sequence. One thread at a time.
class ProcEventTracker {
 public:
  ProcChange handle(const ProcEvent& event);
  std::uint64_t lost() const { return lost_; }

 private:
  struct Tracked {
    bool forkedOnly = false;
    std::uint32_t parent = 0;
    std::optional<std::uint32_t> realUid;
  };
  void countGap(const ProcEvent& event);

  std::unordered_map<std::uint32_t, Tracked> tracked_;
  std::vector<std::optional<std::uint32_t>> nextSequence_;
  std::uint64_t lost_ = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_PROCCONNECTOR_H_
