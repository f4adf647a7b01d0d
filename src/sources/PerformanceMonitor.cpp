#include "sources/PerformanceMonitor.h"

#include "platform/Env.h"
#include "platform/ProcessPerformance.h"
#include "sources/PeriodicWorker.h"

namespace Vantor {

namespace {

// The catalogue error of a monitor thread that failed.
constexpr std::int32_t kMonitorFailure = 30;

CounterQuery::BlockReader readerOf(platform::PerformanceCounters& counters,
                                   const std::vector<platform::ProcessId>& processes,
                                   const bool& countHandles) {
  return [&counters, &processes, &countHandles]() -> std::optional<std::vector<std::uint8_t>> {
    std::vector<std::uint8_t> block;
    if (!counters.readProcessData(&processes, countHandles, &block)) {
      return std::nullopt;
    }
    return block;
  };
}

// Whether any of the readings asks for the one counter that costs a look at each descriptor.
bool needHandles(const std::vector<PerformanceMonitor::Reading>& readings) {
  for (const PerformanceMonitor::Reading& reading : readings) {
    for (std::uint32_t counter : reading.counters) {
      if (counter == platform::kHandleCountIndex) return true;
    }
  }
  return false;
}

}  // namespace

PerformanceMonitor::PerformanceMonitor(platform::Env& env, const LoggerUnit& logger,
                                       ProcessMap& processMap)
    : env_(env),
      logger_(logger),
      processMap_(processMap),
      query_(readerOf(env.performanceCounters(), queried_, countHandles_)) {}

bool PerformanceMonitor::prepare(ThreadTable& threads) {
  ThreadEntry* row =
      prepareWorker(threads, logger_, "PerformanceMonitor", TF_REPORTS, [this](ThreadEntry& entry) {
        return runPeriodicWorker(
            entry, logger_, env_.clock(),
            {interval_, [this] { readNewcomers(); }, [this] { monitorPerformance(); },
             "Fatal Exception in PerformanceMonitor", kMonitorFailure});
      });
  // A registration wakes the worker for its first reading.
  if (row != nullptr) row->wakeUp = processMap_.perfMonLog().registrations();
  return row != nullptr;
}

PerformanceMonitor::Reading PerformanceMonitor::readingOf(const ProcessRef& entry) {
  Reading reading{entry, {entry->pid(), entry->startStamp()}, {}, {}};
  for (const CounterSample& sample : entry->samples()) {
    reading.counters.push_back(sample.counterIndex);
  }
  return reading;
}

void PerformanceMonitor::evaluate(CounterQuery& query, Reading& reading) {
  // Gone before it could be read: nothing to take, and nothing to complain of.
  if (!query.inOlder(reading.id.pid)) return;
  for (std::uint32_t counter : reading.counters) {
    // A name the object lacks has no value: the list's reader said so once.
    reading.values.push_back(counter == 0 ? std::nullopt
                                          : query.counterValue(reading.id.pid, counter));
  }
  // A process that ended between the two reads has no rate for the time, rather than a rate
  // of 0: its aggregates stay as they were.
  if (query.hasNewer() && !query.inNewer(reading.id.pid)) reading.values.clear();
}

void PerformanceMonitor::monitorPerformance() {
  std::vector<Reading> readings;
  {
    ProcessMap::Hold hold(processMap_);
    if (!hold.take("PerformanceMonitor")) return;  // the cycle is skipped
    for (const ProcessRef& entry : processMap_.measuredEntries()) {
      readings.push_back(readingOf(entry));
    }
  }
  if (readings.empty()) return;

  queried_.clear();
  for (const Reading& reading : readings) queried_.push_back(reading.id);
  countHandles_ = needHandles(readings);
  bool fresh = !query_.hasOlder();
  if (query_.collect() != 0) {
    logger_.debug(4, "KvtCollectQueryData failed: thread %s skips this cycle.",
                  "PerformanceMonitor");
    return;
  }
  if (fresh) inOlder_ = {queried_.begin(), queried_.end()};
  // A process the older block does not hold is new since: its first reading was its own.
  for (Reading& reading : readings) {
    if (inOlder_.count(reading.id) != 0) evaluate(query_, reading);
  }

  if (query_.hasNewer()) {
    inOlder_ = {queried_.begin(), queried_.end()};
  } else {
    inOlder_.clear();
  }
  query_.shift();
  apply(readings, false);
}

void PerformanceMonitor::readNewcomers() {
  std::vector<ProcessRef> newcomers = processMap_.perfMonLog().takeNewcomers();
  if (newcomers.empty()) return;
  std::vector<Reading> readings;
  {
    ProcessMap::Hold hold(processMap_);
    if (!hold.take("PerformanceMonitor")) return;
    for (const ProcessRef& entry : newcomers) {
      if (processMap_.holds(entry)) readings.push_back(readingOf(entry));
    }
  }
  std::vector<platform::ProcessId> processes;
  for (const Reading& reading : readings) processes.push_back(reading.id);
  bool countHandles = needHandles(readings);
  CounterQuery first(readerOf(env_.performanceCounters(), processes, countHandles));
  if (first.collect() != 0) {
    for (const Reading& reading : readings) {
      logger_.debug(1, "Failed to collect counter data for PID=%i", reading.id.pid);
    }
    return;
  }
  for (Reading& reading : readings) evaluate(first, reading);
  apply(readings, true);
}

void PerformanceMonitor::apply(std::vector<Reading>& readings, bool first) {
  if (readings.empty()) return;
  ProcessMap::Hold hold(processMap_);
  if (!hold.take("PerformanceMonitor")) return;
  for (Reading& reading : readings) {
    const ProcessRef& entry = reading.entry;
    std::vector<CounterSample>& samples = entry->samples();
    if (!processMap_.holds(entry) || samples.size() != reading.counters.size()) continue;
    bool failed = false;
    for (std::size_t i = 0; i < reading.values.size(); ++i) {
      if (samples[i].take(reading.values[i]) || samples[i].counterIndex == 0) continue;
      if (first) {
        logger_.debug(1, "Failed to update %i counter for PID=%i", samples[i].counterIndex,
                      reading.id.pid);
      } else if (!failed) {
        logger_.debug(4, "KvtUpdateCounter failed: PID=%i. Process status: %s", reading.id.pid,
                      entry->getExitCode() == Process::kStillActive ? "Active" : "Ended");
      }
      failed = true;
    }
  }
}

}  // namespace Vantor
