#include "supervision/ThreadEntry.h"

#include "concurrency/ProcessFlags.h"

namespace Vantor {

void ThreadEntry::requestStop() {
  report.store(REPORT_STOP);
  wakeUp->set();
}

void ThreadEntry::pause(std::chrono::milliseconds duration) {
  if (!stopRequested()) wakeUp->wait(duration);
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
