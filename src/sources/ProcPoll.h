// Snapshots of the process table and the changes between the last two: processes whose pid
// appeared are started, those whose pid vanished are ended. Used by one thread at a time.
#ifndef TARNWICK_SOURCES_PROCPOLL_H_
#define TARNWICK_SOURCES_PROCPOLL_H_

#include <map>
#include <vector>

#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "usage/Process.h"

namespace Vantor {

class ProcPoll {
 public:
  using Snapshot = std::map<std::uint32_t, ProcessRef>;  // by pid

  ProcPoll() = default;
  ~ProcPoll();
  ProcPoll(const ProcPoll&) = delete;
  ProcPoll& operator=(const ProcPoll&) = delete;

  void setLogger(const LoggerUnit* logger);
  // A fresh object for every process running now; false when the table cannot be read.
  bool scan(std::vector<ProcessRef>& processes);
  // Scans into the latest snapshot.
  bool poll();
  // The processes that ended and started between the previous and the latest snapshot,
  // dated now - offset; the latest snapshot becomes the previous one when anything changed.
  void getPollData(std::vector<ProcessRef>& changes, const TimeSpan& offset);
  void clear();

  // Adds scanned processes to the latest snapshot, keyed by pid.
  void addToLatest(std::vector<ProcessRef> processes);

 private:
  template <typename... Args>
  void debug(std::int32_t level, std::string_view format, const Args&... args) const {
    if (logger_ != nullptr) logger_->debug(level, format, args...);
  }

  const LoggerUnit* logger_ = nullptr;
  Snapshot previous_;
  Snapshot latest_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PROCPOLL_H_
