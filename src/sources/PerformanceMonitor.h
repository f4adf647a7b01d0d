// The "PerformanceMonitor" worker: at the monitoring interval it reads the performance data of
// the measured processes and takes each counter's value into the process's aggregate; woken
// by a registration, it takes the new process's first reading at once. The data are read
// without the process map's lock; only the values are applied under it.
#ifndef TARNWICK_SOURCES_PERFORMANCEMONITOR_H_
#define TARNWICK_SOURCES_PERFORMANCEMONITOR_H_

#include <optional>
#include <set>
#include <vector>

#include "platform/Env.h"
#include "platform/ProcessTable.h"
#include "sources/CounterQuery.h"
#include "supervision/ThreadTable.h"
#include "usage/ProcessMap.h"

namespace Vantor {

class PerformanceMonitor {
 public:
  PerformanceMonitor(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap);

  // Written by the configuration while no monitor runs.
  void configure(const TimeSpan& interval) { interval_ = interval; }
  // Registers the "PerformanceMonitor" row on the thread table.
  bool prepare(ThreadTable& threads);
  // One cycle: every measured process whose earlier reading the older data block holds.
  void monitorPerformance();
  // The first reading of the processes registered since the last, over a moment.
  void readNewcomers();

 public:
  // A measured process as the map listed it, and the values read for its samples.
  struct Reading {
    ProcessRef entry;
    platform::ProcessId id;
    std::vector<std::uint32_t> counters;  // each sample's counter, in order
    std::vector<std::optional<double>> values;
  };

 private:
  // With the map checked out: what the entry's samples need.
  static Reading readingOf(const ProcessRef& entry);
  // The value of each of the reading's counters; a counter that cannot be had (a name the
  // object lacks, say) costs its own sample only.
  static void evaluate(CounterQuery& query, Reading& reading);
  // Takes the values into the samples of the entries the map still holds.
  void apply(std::vector<Reading>& readings, bool first);

  platform::Env& env_;
  const LoggerUnit& logger_;
  ProcessMap& processMap_;
  TimeSpan interval_{5};
  // The processes the cycle's reads are for, and whether they count descriptors.
  std::vector<platform::ProcessId> queried_;
  bool countHandles_ = false;
  CounterQuery query_;
  // The processes the query's older block was read for; only they have a value to compare.
  std::set<platform::ProcessId> inOlder_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PERFORMANCEMONITOR_H_
