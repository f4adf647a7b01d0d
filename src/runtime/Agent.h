// What every agent program of the suite needs: logging, the single-instance lock, the
// configuration reader and catalogues, the prime-time calendar, the accounts, the thread
// table with its supervision and the data streams. configure() runs at start-up on the main
// thread and again, from reconfigure(), on the status monitor thread while no worker runs.
#ifndef TARNWICK_RUNTIME_AGENT_H_
#define TARNWICK_RUNTIME_AGENT_H_

#include <atomic>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "concurrency/MachineMutex.h"
#include "config/ConfReader.h"
#include "foundation/InventoryOps.h"
#include "foundation/LineProblem.h"
#include "logging/StartLogging.h"
#include "runtime/Arguments.h"
#include "runtime/ProblemCollector.h"
#include "supervision/ThreadTable.h"
#include "usage/Accounts.h"
#include "usage/DataStreams.h"
#include "usage/PrimeTime.h"

namespace Vantor {

class Agent {
 public:
  Agent(platform::Env& env, std::string name, Arguments arguments);
  virtual ~Agent();
  Agent(const Agent&) = delete;
  Agent& operator=(const Agent&) = delete;

  // The whole configuration; false when the program cannot run, with startFailure() saying
  // why and what to do.
  bool configure();
  const std::string& startFailure() const { return startFailure_; }
  // Reads everything a start reads, as a start reads it, but takes no instance lock, writes
  // no log and makes nothing; prints what the agent would do and every problem found. True
  // when the agent would start.
  bool check(std::ostream& out);
  // Stops the workers, forgets threads and streams, configures and starts again; a file that
  // cannot be read whole changes nothing. False when the program cannot go on.
  virtual bool reconfigure();
  virtual void run() = 0;
  // Whether run() ended because something failed, not because it was asked to end: the
  // program's exit status tells, so that a service manager restarts it.
  bool endedByFailure() const { return endedByFailure_.load(); }

  const std::string& name() const { return name_; }
  platform::Env& env() const { return env_; }
  ThreadTable& threads() { return *threads_; }
  DataStreams& streams() { return *streams_; }
  const DataStreams& streams() const { return *streams_; }
  const LoggerUnit& logger() const { return *logging_->agentLogger; }

 protected:
  virtual bool configureProgram() = 0;
  // Whether configure() only checks the configuration: nothing is made, taken or started.
  bool checking() const { return problems_ != nullptr; }
  // What the checked configuration asks the program to do, one "what: how" line each.
  virtual void describeConfiguration(std::ostream& out) const = 0;
  // Warns of each line of a file that was not understood (the first few, and how many more).
  void warnOfLines(std::int32_t message, const std::string& file,
                   const std::vector<LineProblem>& problems) const;
  // The log file the configuration names.
  std::string logFile() const;
  // Called when a reconfiguration has read the new configuration, before the workers stop.
  virtual void beforeReconfiguring() {}
  // Records why the program cannot start, and logs it; returns false for the caller to return.
  bool refuseStart(const std::string& why);
  // Whether a user other than root and this one could change the file or folder at path (what
  // names it: "the working folder"); if so, refuses the start with the reason.
  bool othersMayChange(const std::string& what, const std::string& path);
  // The same for the folder and each file in it that matches pattern ("*.conf").
  bool othersMayChangeFilesIn(const std::string& what, const std::string& folder,
                              const std::string& pattern);
  void endByFailure() { endedByFailure_.store(true); }
  std::shared_ptr<LogSender> sender() const { return logging_->sender; }
  const ConfReader& reader() const { return *reader_; }
  const std::string& configurationDirectory() const { return configurationDirectory_; }
  const InventoryOps::StaticInfo& staticInfo() const { return staticInfo_; }
  Accounts& accounts() { return accounts_; }
  PrimeTime& primeTime() { return primeTime_; }
  // The data delivery interval and the period of the health check, set by the program.
  TimeSpan deliveryInterval_{43200};

 private:
  bool startLoggingOnce();
  // False, with the start refused, when the catalogue folder is not safe to read.
  bool loadLogMessages();
  // The file named with -c, else tarnwick.conf in the configuration directory.
  std::string configurationFile() const;

  platform::Env& env_;
  const std::string name_;
  Arguments arguments_;
  std::optional<MachineMutex> instanceLock_;
  // While checking: the problems the log would have shown.
  std::shared_ptr<ProblemCollector> problems_;  // held from the first configuration to the end
  std::optional<Logging> logging_;
  std::shared_ptr<ConfReader> reader_;
  std::shared_ptr<ConfReader> nextReader_;  // read by reconfigure(), installed by configure()
  std::string configurationDirectory_;
  std::string namedConfigurationFile_;  // "-c FILE", empty without
  InventoryOps::StaticInfo staticInfo_;
  Accounts accounts_{env_};
  PrimeTime primeTime_;
  std::unique_ptr<ThreadTable> threads_;
  std::shared_ptr<DataStreams> streams_;
  bool configuredOnce_ = false;
  std::string startFailure_;
  std::atomic<bool> endedByFailure_{false};
};

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_AGENT_H_
