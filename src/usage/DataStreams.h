// The data streams of the agent by ID ("process", "module", "perfmon"), each with its delivery
// interval, and their delivery: the hooks of the streams due run, then their files are ended
// and become ".data" files. deliveryPass() is one pass of the delivery thread; it delivers each
// stream at the local-time boundaries of its interval, once per boundary. Safe for concurrent use.
#ifndef TARNWICK_USAGE_DATASTREAMS_H_
#define TARNWICK_USAGE_DATASTREAMS_H_

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "foundation/DateTime.h"
#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/Mutex.h"
#include "usage/LogFile.h"

namespace Vantor {

class DataStreams {
 public:
  using Hook = std::function<void()>;

  // What a stream did since the agent started, across reconfigurations.
  struct StreamStatus {
    std::string id;
    std::uint64_t recordsWritten = 0;
    DateTime lastDelivery{0LL};  // zero: none yet
    DateTime nextDelivery{0LL};  // zero: only on demand, or not yet scheduled
  };

  DataStreams(platform::Env& env, std::shared_ptr<LogSender> sender);

  // Does nothing when the ID is registered already. An interval of 0 takes the global one.
  void registerLogFile(const std::string& base, const std::string& id, const TimeSpan& interval,
                       bool onDemand, Hook hook) LOCKS_EXCLUDED(mutex_);
  std::shared_ptr<LogFile> getLogFile(const std::string& id) const LOCKS_EXCLUDED(mutex_);
  // Ends the stream's current file (its records are delivered). Always true.
  bool releaseLogFile(const std::string& id) LOCKS_EXCLUDED(mutex_);
  // Every stream, all hooks first; on-demand streams only when forced.
  void deliverAll(bool force) LOCKS_EXCLUDED(mutex_);
  // Removes every registration; their open files are delivered.
  void clear() LOCKS_EXCLUDED(mutex_);

  // Gives streams registered with interval 0 the global interval.
  void applyGlobalInterval(const TimeSpan& interval) LOCKS_EXCLUDED(mutex_);
  // One delivery check at now: the first check only sets each stream's last delivery to the
  // boundary before now; later ones deliver the streams whose next boundary has come.
  void deliveryPass(const DateTime& now) LOCKS_EXCLUDED(mutex_);
  // Every stream registered now or before, by ID.
  std::vector<StreamStatus> status() const LOCKS_EXCLUDED(mutex_);

 private:
  struct Entry {
    std::shared_ptr<LogFile> logFile;
    TimeSpan interval;
    DateTime lastDelivered{0LL};
    bool onDemand = false;
    Hook hook;
  };

  void deliver(const std::vector<std::pair<std::string, Hook>>& due) LOCKS_EXCLUDED(mutex_);

  platform::Env& env_;
  const std::shared_ptr<LogSender> sender_;
  LoggerUnit logger_;
  mutable platform::Mutex mutex_;
  std::map<std::string, Entry> entries_ GUARDED_BY(mutex_);
  // The records of the streams' earlier files (a reconfiguration registers them anew), and
  // when each stream last handed its file over.
  std::map<std::string, StreamStatus> history_ GUARDED_BY(mutex_);
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_DATASTREAMS_H_
