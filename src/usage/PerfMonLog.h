// The records of the "perfmon" data stream: for each process the performance monitor
// measures, the figures of its counters' aggregates, written when it ends and at each
// delivery of the stream. Also which processes are measured (the process rules) and their
// registration, whose first reading the monitor takes.
#ifndef TARNWICK_USAGE_PERFMONLOG_H_
#define TARNWICK_USAGE_PERFMONLOG_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/InventoryOps.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "usage/Accounts.h"
#include "usage/CounterList.h"
#include "usage/DataStreams.h"
#include "usage/ModuleFilter.h"
#include "usage/PrimeTime.h"
#include "usage/Process.h"

namespace Vantor {

// The counters read and the processes measured, from their two files; immutable once loaded.
struct PerformanceSetup {
  CounterList counters;
  // In the module filter's format, matched against executables' file names; unlike that
  // filter, rules that name nothing measure nothing.
  ModuleFilter rules;

  bool matchProcessRules(std::string_view computerName, const std::string& executable) const;
};

// value with precision decimals, without trailing zeros or a trailing point; "#ERR" for a
// value that is not a finite number.
std::string formatNumber(double value, int precision);

class PerfMonLog {
 public:
  // facts: as recordFacts() made them.
  PerfMonLog(const LoggerUnit& logger, const Accounts& accounts, const PrimeTime& primeTime,
             DataStreams& streams, const InventoryOps::StaticInfo& facts,
             platform::SystemFacts& system);

  // On with what to measure, or off (null). Safe while records are written.
  void configure(std::shared_ptr<const PerformanceSetup> setup) LOCKS_EXCLUDED(mutex_);
  bool enabled() const { return enabled_.load(); }
  std::shared_ptr<const PerformanceSetup> setup() const LOCKS_EXCLUDED(mutex_);

  // With the process map held, for a process entering it, or for every process at a
  // reconfiguration: when the rules measure it, marks it measured, gives it a fresh sample for
  // each counter, its figures measured from since (0: from its start), and queues it for its
  // first reading; otherwise it is not measured.
  void registerIfMeasured(const ProcessRef& process, std::int64_t since) LOCKS_EXCLUDED(mutex_);
  // The processes registered since the last call, oldest first.
  std::vector<ProcessRef> takeNewcomers() LOCKS_EXCLUDED(mutex_);
  // Set at every registration: it wakes the monitor for the first reading.
  const std::shared_ptr<platform::Event>& registrations() const { return registrations_; }

  // With the process map held: the process's record, at a dump (now: its second) or as the map
  // ends it (now 0). After a dump every sample starts its aggregate again, so each record
  // covers the time since the last.
  void logPerfMonData(Process& process, std::int64_t now) LOCKS_EXCLUDED(mutex_);

 private:
  // The figures a record draws from its process's samples.
  struct Figures {
    double elapsed = 0;  // seconds
    double cpu = 0;      // share of one processor, 1 for all of it
    double memory = 0;   // bytes
    double io = 0;       // bytes per second
  };

  // The record's first line: the process and how it stands.
  std::string firstLine(Process& process, bool ended) const LOCKS_EXCLUDED(mutex_);
  // The figures of the process's samples; each sample is marked as reported, and after a
  // dump (not ended) starts again.
  Figures takeFigures(Process& process, bool ended, std::int64_t now) const LOCKS_EXCLUDED(mutex_);
  // The machine's memory in megabytes, read again once an hour; 1 when it cannot be read.
  double totalMemoryMegabytes(std::int64_t now) LOCKS_EXCLUDED(mutex_);

  const LoggerUnit& logger_;
  platform::SystemFacts& system_;
  const Accounts& accounts_;
  const PrimeTime& primeTime_;
  DataStreams& streams_;
  const InventoryOps::StaticInfo& facts_;
  const std::shared_ptr<platform::Event> registrations_ = std::make_shared<platform::Event>();
  std::atomic<bool> enabled_{false};
  mutable platform::Mutex mutex_;
  std::shared_ptr<const PerformanceSetup> setup_ GUARDED_BY(mutex_);
  std::vector<ProcessRef> newcomers_ GUARDED_BY(mutex_);
  double memoryMegabytes_ GUARDED_BY(mutex_) = 1.0;
  std::int64_t memoryReadAt_ GUARDED_BY(mutex_) = 0;
  bool memoryUnknownLogged_ GUARDED_BY(mutex_) = false;
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_PERFMONLOG_H_
