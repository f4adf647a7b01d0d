// When the next poll is due. The schedule runs on the monotonic clock, so a step of the wall
// clock neither fires a burst of polls nor stops polling; time stamps stay on the wall clock.
// It keeps its phase: a cycle that took longer than the interval is followed at once by the
// next, but a pause of many intervals (a suspended machine) is made up by one poll, not many.
#ifndef TARNWICK_SOURCES_POLLSCHEDULE_H_
#define TARNWICK_SOURCES_POLLSCHEDULE_H_

#include <chrono>
#include <cstdint>

#include "foundation/TimeSpan.h"
#include "platform/Clock.h"

namespace Vantor {

class PollSchedule {
 public:
  // The first poll is due at once.
  PollSchedule(platform::Clock& clock, const TimeSpan& interval);

  // True when a poll is due now; the next one is then planned.
  bool due();
  // How long until the next poll is due; zero when it is due now.
  std::chrono::milliseconds untilDue() const;

 private:
  platform::Clock& clock_;
  std::uint64_t intervalMillis_;
  std::uint64_t next_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_POLLSCHEDULE_H_
