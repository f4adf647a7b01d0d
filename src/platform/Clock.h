// The system clock and the local time zone rules.
#ifndef TARNWICK_PLATFORM_CLOCK_H_
#define TARNWICK_PLATFORM_CLOCK_H_

#include <cstdint>

namespace Vantor::platform {

// Safe for concurrent use by multiple threads.
class Clock {
 public:
  virtual ~Clock() = default;

  // Seconds since 1970-01-01T00:00:00 UTC, truncated to whole seconds.
  virtual std::int64_t utcSeconds() = 0;

  // A monotonic millisecond count from an arbitrary origin (the system tick count).
  virtual std::uint64_t tickMillis() = 0;

  // How far local time is ahead of UTC at the given instant, in seconds, by the system's
  // zone rules (daylight saving included). The zone rules are loaded once per process.
  virtual std::int32_t localOffsetSeconds(std::int64_t utcSeconds) = 0;

  // Suspends the calling thread.
  virtual void sleepMillis(std::uint32_t milliseconds) = 0;
};

// The system's clock, which the Env's clock() also gives. Times of day and spans (DateTime,
// Timer) are values made in every layer, many where no Env is at hand, so they read this one.
Clock& systemClock();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_CLOCK_H_
