#include "sources/PeriodicWorker.h"

#include <algorithm>

#include "concurrency/ProcessFlags.h"
#include "platform/Env.h"
#include "platform/ThreadCancellation.h"
#include "sources/PollSchedule.h"

namespace Vantor {

namespace {
constexpr std::int32_t kStatusLogSeconds = 10;
// While the program quits the worker only answers the heartbeat, until the stop signal.
constexpr auto kQuittingPause = std::chrono::seconds(1);
}  // namespace

ThreadEntry* prepareWorker(ThreadTable& threads, const LoggerUnit& logger, const std::string& name,
                           std::uint16_t flags, ThreadTable::Procedure procedure) {
  logger.debug(2, "Preparing %s thread...", name);
  ThreadEntry& row = threads.addThread(name, flags, std::move(procedure));
  if (!row.job) {
    logger.critical(21, "prepare " + name);
    return nullptr;
  }
  logger.debug(3, "   Done.");
  return &row;
}

std::uint32_t runPeriodicWorker(ThreadEntry& row, const LoggerUnit& logger, platform::Clock& clock,
                                const PeriodicWork& work) {
  logger.debug(1, "START THREAD %s.", row.name);
  PollSchedule statusLog(clock, TimeSpan(kStatusLogSeconds));
  PollSchedule passes(clock, work.interval);
  try {
    while (!row.stopRequested()) {
      reportThreadStatus(row.report, false);
      if (statusLog.due()) logThreadStatus(logger, row, false);
      if (quitFlag.load()) {
        row.pause(kQuittingPause);
        continue;
      }
      if (work.each) work.each();
      if (passes.due()) {
        DateTime started;
        work.pass();
        logger.debug(4, "THREAD %s: Processing took %s.", row.name,
                     (DateTime() - started).toString());
      }
      row.pause(std::min(passes.untilDue(), statusLog.untilDue()));
    }
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger.debug(1, "%s", work.failureLine);
    if (work.failureMessage != 0) logger.error(work.failureMessage, row.name);
    throw;
  }
  logger.debug(1, "END THREAD %s", row.name);
  return 0;
}

}  // namespace Vantor
