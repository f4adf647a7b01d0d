#include "supervision/ThreadEntry.h"

#include <algorithm>

#include "concurrency/ProcessFlags.h"
#include "platform/Thread.h"

namespace Vantor {

void ThreadEntry::requestStop() { report.store(REPORT_STOP); }

void ThreadEntry::pause(std::chrono::milliseconds duration) {
  // Short sleeps that a kill can unwind; the stop signal is seen within a slice.
  auto until = std::chrono::steady_clock::now() + duration;
  while (!stopRequested()) {
    auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::milliseconds(0)) return;
    platform::sleepCancellable(std::min<std::chrono::milliseconds>(
        std::chrono::duration_cast<std::chrono::milliseconds>(left) + std::chrono::milliseconds(1),
        kPauseSlice));
  }
}

void reportThreadStatus(std::atomic<std::uint32_t>& report, bool fatal) {
  std::uint32_t requested = REPORT_REQUESTED;
  report.compare_exchange_strong(requested, fatal ? REPORT_FATAL : REPORT_RUNNING);
  if (quitFlag.load()) {
    std::uint32_t current = report.load();
    // The stop signal is the supervisor's and must survive.
    while (current != REPORT_STOP && !report.compare_exchange_weak(current, REPORT_QUITTING)) {
    }
  }
}

void logThreadStatus(const LoggerUnit& logger, const ThreadEntry& entry, bool fatal) {
  std::int32_t level = LogSettings::debugLevel.load(std::memory_order_relaxed);
  if (fatal && level > 2) {
    logger.debug(3, "THREAD %s is in fatal status.", entry.name);
  } else if (!fatal && level == 5) {
    logger.debug(
        5, quitFlag.load() ? "THREAD %s is waiting to quit." : "THREAD %s is running as normal.",
        entry.name);
  }
}

}  // namespace Vantor
