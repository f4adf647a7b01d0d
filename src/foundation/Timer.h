// An expiry time and the tick count at construction; used for time-outs.
#ifndef TARNWICK_FOUNDATION_TIMER_H_
#define TARNWICK_FOUNDATION_TIMER_H_

#include <cstdint>

#include "foundation/DateTime.h"

namespace Vantor {

class Timer {
 public:
  Timer();  // expires now

  void setExpiry(const DateTime& expiry) { expiry_ = expiry; }
  const DateTime& getExpiry() const { return expiry_; }
  // True when the expiry is strictly earlier than now.
  bool isExpired() const;
  // Milliseconds since construction, by the monotonic tick count.
  std::uint64_t elapsedMillis() const;

  static void sleep(std::uint32_t milliseconds);

 private:
  DateTime expiry_;
  std::uint64_t startTick_;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_TIMER_H_
