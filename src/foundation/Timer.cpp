#include "foundation/Timer.h"

#include "platform/Clock.h"

namespace Vantor {

Timer::Timer() : startTick_(platform::systemClock().tickMillis()) {}

bool Timer::isExpired() const { return expiry_ < DateTime(); }

std::uint64_t Timer::elapsedMillis() const {
  return platform::systemClock().tickMillis() - startTick_;
}

void Timer::sleep(std::uint32_t milliseconds) { platform::systemClock().sleepMillis(milliseconds); }

}  // namespace Vantor
