// What the workers of the sources share: the step each is prepared with, and the loop of a
// worker that does one pass at a fixed interval: it answers the supervision's heartbeat, logs
// its status every ten seconds, idles while the program quits, times each pass at debug level
// 4, and pauses between passes until the next is due or it is woken.
#ifndef TARNWICK_SOURCES_PERIODICWORKER_H_
#define TARNWICK_SOURCES_PERIODICWORKER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "supervision/ThreadTable.h"

namespace Vantor {

struct PeriodicWork {
  TimeSpan interval;
  // Runs every time round the loop, before a pass may be due (requests between passes).
  std::function<void()> each;
  std::function<void()> pass;
  // Written at debug level 1 when a pass throws; the exception then ends the thread.
  std::string failureLine;
  // The catalogue error that then tells the Core, with the thread's name; 0 for none.
  std::int32_t failureMessage = 0;
};

// Adds a source's worker, name, running procedure, to the thread table (flags as addThread
// takes them). Null, with the critical message logged, when its job could not be made.
ThreadEntry* prepareWorker(ThreadTable& threads, const LoggerUnit& logger, const std::string& name,
                           std::uint16_t flags, ThreadTable::Procedure procedure);

// The thread procedure of row, timed by clock; returns its exit code.
std::uint32_t runPeriodicWorker(ThreadEntry& row, const LoggerUnit& logger, platform::Clock& clock,
                                const PeriodicWork& work);

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PERIODICWORKER_H_
