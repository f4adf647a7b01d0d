// The "ProcessPoller" worker: polls the process table at a fixed interval and hands the
// changes to the process map (full poll), or, when an event source does the start and end
// work, only completes the map's processes whose executable was unknown (completion pass).
#ifndef TARNWICK_SOURCES_PROCESSPOLLER_H_
#define TARNWICK_SOURCES_PROCESSPOLLER_H_

#include <atomic>
#include <memory>
#include <optional>

#include "platform/Mutex.h"
#include "sources/ProcPoll.h"
#include "supervision/ThreadTable.h"
#include "usage/ExeFinder.h"
#include "usage/ProcessMap.h"

namespace Vantor {

// Where process events come from besides polling.
enum class EventSource : std::int32_t { kNone = 0, kKernelTrace = 1, kKernelDriver = 2 };

class ProcessPoller {
 public:
  ProcessPoller(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap,
                ExeFinder& exeFinder);

  // Written by the configuration while no poller runs.
  void configure(const TimeSpan& interval, EventSource source, bool pollingEnabled);
  // Registers the "ProcessPoller" row on the thread table.
  bool prepare(ThreadTable& threads);
  // One cycle: a full poll when forced, on the first cycle, or without an event source;
  // else a completion pass. With startedBefore, a forced poll leaves out the processes that
  // started after that stamp: the events that report them may not be handled yet, and a
  // poll that overtook them would record them twice, or under the wrong program.
  void pollProcesses(bool force, std::uint64_t startedBefore = 0);
  void clear() { procPoll_.clear(); }
  // Asks for a repair soon: the event source lost events. Whoever polls takes the request.
  // With a bound, the processes started after it are left to the events (their ends may not
  // be handled yet); a request without one makes the repair whole.
  void requestFullPoll(const RepairBound& startedBefore = {}) LOCKS_EXCLUDED(requestMutex_);
  // The bound of the repair asked for (none: whole), if one was asked for.
  std::optional<RepairBound> takeFullPollRequest() LOCKS_EXCLUDED(requestMutex_);
  // After lost events: a full poll finds the starts, and the map's processes that no longer
  // run are ended, of those started up to the bound where it is given.
  void repairLostEvents(const RepairBound& startedBefore = {});
  // Full polls of the process table applied to the map, and repairs made, since the start.
  std::uint64_t fullPollsDone() const { return fullPollsDone_.load(); }
  std::uint64_t repairsMade() const { return repairsMade_.load(); }

 private:
  std::uint32_t processPollerThread(ThreadEntry& row);
  void fullPoll(std::uint64_t startedBefore = 0);
  // Hands the changes the last listing found to the map.
  void applyFullPoll(std::uint64_t startedBefore);
  void completionPass();

  platform::Env& env_;
  const LoggerUnit& logger_;
  ProcessMap& processMap_;
  ExeFinder& exeFinder_;
  ProcPoll procPoll_;
  TimeSpan interval_{300};
  EventSource source_ = EventSource::kNone;
  bool pollingEnabled_ = false;
  std::atomic<bool> firstFullPollDone_{false};
  std::atomic<std::uint64_t> fullPollsDone_{0};
  std::atomic<std::uint64_t> repairsMade_{0};
  platform::Mutex requestMutex_;
  std::optional<RepairBound> requestedRepair_ GUARDED_BY(requestMutex_);
  // Shared with the poller's row: a request or the stop signal ends its pause.
  const std::shared_ptr<platform::Event> wake_ = std::make_shared<platform::Event>();
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PROCESSPOLLER_H_
