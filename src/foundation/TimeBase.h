// The common base of the time values: one signed 32-bit count of seconds.
#ifndef TARNWICK_FOUNDATION_TIMEBASE_H_
#define TARNWICK_FOUNDATION_TIMEBASE_H_

#include <cstdint>

namespace Vantor {

class TimeBase {
 public:
  std::int32_t getValue() const { return value_; }
  // Throws TimeException TM_DATETIME for a negative value or one beyond 32 bits.
  void setValue(std::int64_t value);
  bool isZero() const { return value_ == 0; }

 protected:
  explicit TimeBase(std::int32_t value) : value_(value) {}
  ~TimeBase() = default;

  std::int32_t value_;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_TIMEBASE_H_
