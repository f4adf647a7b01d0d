#include "foundation/Timer.h"

#include "platform/Clock.h"

namespace Vantor {

Timer::Timer() : startTick_(platform::Clock::Default().tickMillis()) {}

bool Timer::isExpired() const { return expiry_ < DateTime(); }

std::uint64_t Timer::elapsedMillis() const {
  return platform::Clock::Default().tickMillis() - startTick_;
}

void Timer::sleep(std::uint32_t milliseconds) {
  platform::Clock::Default().sleepMillis(milliseconds);
}

}  // namespace Vantor
