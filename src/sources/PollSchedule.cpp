#include "sources/PollSchedule.h"

#include <algorithm>

namespace Vantor {

PollSchedule::PollSchedule(platform::Clock& clock, const TimeSpan& interval)
    : clock_(clock),
      intervalMillis_(static_cast<std::uint64_t>(std::max<std::int64_t>(interval.getSeconds(), 0)) *
                      1000),
      next_(clock.tickMillis()) {}

bool PollSchedule::due() {
  std::uint64_t now = clock_.tickMillis();
  if (now < next_) return false;
  next_ += intervalMillis_;
  // More than one interval behind: poll once now and keep the phase from here.
  if (now >= next_ + intervalMillis_) next_ = now + intervalMillis_;
  return true;
}

std::chrono::milliseconds PollSchedule::untilDue() const {
  std::uint64_t now = clock_.tickMillis();
  return std::chrono::milliseconds(now >= next_ ? 0 : next_ - now);
}

}  // namespace Vantor
