// A signed duration in whole seconds, with the text form "P[-][nD][nH][nM][nS]".
#ifndef TARNWICK_FOUNDATION_TIMESPAN_H_
#define TARNWICK_FOUNDATION_TIMESPAN_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/TimeBase.h"

namespace Vantor {

// The broken-down form, computed from the absolute value.
struct TimeSpanFields {
  std::int32_t days = 0;
  std::int32_t hours = 0;    // 0-23 in a breakdown
  std::int32_t minutes = 0;  // 0-59 in a breakdown
  std::int32_t seconds = 0;  // 0-59 in a breakdown
  bool negative = false;
};

class TimeSpan : public TimeBase {
 public:
  explicit TimeSpan(std::int32_t seconds = 0) : TimeBase(seconds) {}
  // Validated: days within +-24855 (TM_DAYS), hours 0-23 (TM_HOURS), minutes 0-59
  // (TM_MINUTES), seconds 0-59 (TM_SECONDS), in that order; a total beyond 32 bits is TM_DAYS.
  TimeSpan(std::int32_t days, std::int32_t hours, std::int32_t minutes, std::int32_t seconds);
  // Not validated beyond the 32-bit range of the total (TM_DAYS).
  explicit TimeSpan(const TimeSpanFields& fields);
  // "P1DT2H", "PT36H", "P-1H", "" ...; TM_INPUT when it does not start with 'P'.
  explicit TimeSpan(std::string_view text);

  std::int32_t getSeconds() const { return value_; }
  TimeSpanFields breakdown() const;
  std::string toString() const;

  bool operator==(const TimeSpan& other) const { return value_ == other.value_; }
  bool operator!=(const TimeSpan& other) const { return value_ != other.value_; }
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_TIMESPAN_H_
