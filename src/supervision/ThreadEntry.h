// One row of the thread table: a supervised worker, its two-way report word and what the
// supervisor last found. The report word is written by both sides without a lock (atomics);
// each side writes only its own values.
#ifndef TARNWICK_SUPERVISION_THREADENTRY_H_
#define TARNWICK_SUPERVISION_THREADENTRY_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "concurrency/ThreadInstance.h"
#include "foundation/DateTime.h"
#include "logging/LoggerUnit.h"
#include "platform/Thread.h"

namespace Vantor {

// Report words.
inline constexpr std::uint32_t REPORT_REQUESTED = 1;  // supervisor: answer, please
inline constexpr std::uint32_t REPORT_RUNNING = 2;    // worker: running as normal
inline constexpr std::uint32_t REPORT_ERRORS = 3;     // worker: running, but seeing errors
inline constexpr std::uint32_t REPORT_FATAL = 4;      // worker: in fatal status
inline constexpr std::uint32_t REPORT_QUITTING = 5;   // worker: saw the quit flag, waits
inline constexpr std::uint32_t REPORT_STOP = 6;       // supervisor: leave your loop

// Supervisor status.
inline constexpr std::uint32_t ST_OK = 0;
inline constexpr std::uint32_t ST_SILENT = 1;
inline constexpr std::uint32_t ST_DOWN = 2;

// Flag: the worker answers the heartbeat and obeys the stop signal.
inline constexpr std::uint16_t TF_REPORTS = 2;

struct ThreadEntry {
  ThreadEntry(std::string threadName, std::uint16_t threadFlags)
      : name(std::move(threadName)), flags(threadFlags) {}

  // Sets the stop signal and wakes the worker.
  void requestStop();
  // Sleeps up to duration; returns at once when the worker is woken (the stop signal, or
  // whoever else shares wakeUp). Workers pause here, so stopping takes no time, an idle worker
  // does not wake, and a kill finds them in a wait it can cancel.
  void pause(std::chrono::milliseconds duration);
  bool stopRequested() const { return report.load() == REPORT_STOP; }

  const std::string name;
  std::shared_ptr<ThreadInstance> job;
  const std::uint16_t flags;
  // What wakes the worker's pause; its owner may share its own before the thread starts.
  std::shared_ptr<platform::Event> wakeUp = std::make_shared<platform::Event>();
  // How long a stop waits for the worker to end by itself before it is killed: longer for
  // one that hands over what it holds first.
  std::chrono::milliseconds stopGrace{ThreadInstance::kGraceMillis};
  std::atomic<std::uint32_t> report{0};
  std::atomic<std::uint32_t> status{ST_OK};
  DateTime lastOk;  // written by the supervising thread only
};

// The worker's answer to the heartbeat: a pending request becomes RUNNING (or FATAL), and
// while the quit flag is set the word says QUITTING.
void reportThreadStatus(std::atomic<std::uint32_t>& report, bool fatal);
// "THREAD x is in fatal status." (level 3), "... is waiting to quit." or "... is running as
// normal." (level 5).
void logThreadStatus(const LoggerUnit& logger, const ThreadEntry& entry, bool fatal);

}  // namespace Vantor

#endif  // TARNWICK_SUPERVISION_THREADENTRY_H_
