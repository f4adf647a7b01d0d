// Snapshots of the process table and the changes between the last two. A snapshot holds the
// identity of each process (pid and start stamp), so a pid that was reused between two polls
// ends the old process and starts the new one. A process that stopped running ends although
// its parent has not collected it yet; one that went on to run another program ends, and the
// new program starts. Only a process not seen before is read (executable, user); the objects
// of the change list belong to nobody else yet, so filling them needs no lock. Used by one
// thread at a time.
#ifndef TARNWICK_SOURCES_PROCPOLL_H_
#define TARNWICK_SOURCES_PROCPOLL_H_

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/ProcessTable.h"
#include "usage/Process.h"

namespace Vantor {

class ProcPoll {
 public:
  struct Seen {
    bool ended = false;
    std::uint64_t program = 0;  // as the last listing had it
    std::string executable;     // as read when the program was first seen
    // A fork running on in its parent's program run: part of that run's record, never one of
    // its own, until it starts a program of its own.
    bool forkOnly = false;
  };
  using Snapshot = std::map<platform::ProcessId, Seen>;  // in pid order
  // Builds the object of a process seen for the first time, or null when it is gone; names
  // answers user lookups for the length of one poll.
  using Reader = std::function<ProcessRef(const platform::ProcessId& id, AccountNames* names)>;

  // Processes are listed from env's table unless a table is given, and read from the table
  // unless a reader is given.
  explicit ProcPoll(platform::Env& env, std::unique_ptr<platform::ProcessTable> table = nullptr,
                    Reader reader = nullptr);
  ~ProcPoll();
  ProcPoll(const ProcPoll&) = delete;
  ProcPoll& operator=(const ProcPoll&) = delete;

  void setLogger(const LoggerUnit* logger);
  // Every process in the table now; false when the table cannot be read.
  bool scan(std::vector<platform::ListedProcess>& processes);
  // Scans into the latest snapshot.
  bool poll();
  // The processes that ended and started between the previous and the latest snapshot,
  // dated now - offset; the latest snapshot becomes the previous one when anything changed.
  // A started process that is gone before it could be read is left out of both.
  void getPollData(std::vector<ProcessRef>& changes, const TimeSpan& offset);
  void clear();
  // Forgets one process of the last snapshot: the next poll reports it as started again, if
  // it still runs.
  void forget(const platform::ProcessId& id) { previous_.erase(id); }

  // Reads one process of the last scan; null when it is gone.
  ProcessRef read(const platform::ListedProcess& listed, AccountNames* names = nullptr);

 private:
  // The processes of both snapshots that run another program than they did: their program
  // text changed, and so did their executable.
  std::set<platform::ProcessId> findNewPrograms();

  template <typename... Args>
  void debug(std::int32_t level, std::string_view format, const Args&... args) const {
    if (logger_ != nullptr) logger_->debug(level, format, args...);
  }

  platform::Env& env_;
  std::unique_ptr<platform::ProcessTable> table_;
  Reader reader_;
  const LoggerUnit* logger_ = nullptr;
  Snapshot previous_;
  Snapshot latest_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PROCPOLL_H_
