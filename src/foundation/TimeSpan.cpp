#include "foundation/TimeSpan.h"

#include <limits>

#include "foundation/TimeException.h"

namespace Vantor {

namespace {

constexpr std::int32_t kMaxDays = 24855;  // the most whole days in 32 bits of seconds

std::int32_t totalSeconds(std::int64_t days, std::int64_t hours, std::int64_t minutes,
                          std::int64_t seconds, bool negative) {
  std::int64_t total = ((days * 24 + hours) * 60 + minutes) * 60 + seconds;
  if (negative) total = -total;
  if (total < std::numeric_limits<std::int32_t>::min() ||
      total > std::numeric_limits<std::int32_t>::max()) {
    throw TimeException(TimeException::TM_DAYS, "", __FILE__, __LINE__);
  }
  return static_cast<std::int32_t>(total);
}

// The run of digits that ends right before the first occurrence of letter; 0 when the letter
// is missing or no digit precedes it. Saturates rather than overflows on absurd lengths.
std::int64_t numberBefore(std::string_view text, char letter) {
  std::string_view::size_type at = text.find(letter);
  if (at == std::string_view::npos) return 0;
  std::string_view::size_type start = at;
  while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
  std::int64_t number = 0;
  for (std::string_view::size_type i = start; i < at; ++i) {
    number = number * 10 + (text[i] - '0');
    if (number > std::numeric_limits<std::int32_t>::max()) {
      return std::numeric_limits<std::int32_t>::max();
    }
  }
  return number;
}

}  // namespace

TimeSpan::TimeSpan(std::int32_t days, std::int32_t hours, std::int32_t minutes,
                   std::int32_t seconds)
    : TimeBase(0) {
  if (days < -kMaxDays || days > kMaxDays) {
    throw TimeException(TimeException::TM_DAYS, "", __FILE__, __LINE__);
  }
  if (hours < 0 || hours > 23) throw TimeException(TimeException::TM_HOURS, "", __FILE__, __LINE__);
  if (minutes < 0 || minutes > 59) {
    throw TimeException(TimeException::TM_MINUTES, "", __FILE__, __LINE__);
  }
  if (seconds < 0 || seconds > 59) {
    throw TimeException(TimeException::TM_SECONDS, "", __FILE__, __LINE__);
  }
  value_ = totalSeconds(days, hours, minutes, seconds, false);
}

TimeSpan::TimeSpan(const TimeSpanFields& fields)
    : TimeBase(totalSeconds(fields.days, fields.hours, fields.minutes, fields.seconds,
                            fields.negative)) {}

TimeSpan::TimeSpan(std::string_view text) : TimeBase(0) {
  if (text.empty()) return;
  if (text[0] != 'P') {
    throw TimeException(TimeException::TM_INPUT, "Expected 'P' in beginning of time span.",
                        __FILE__, __LINE__);
  }
  bool negative = text.size() > 1 && text[1] == '-';
  value_ = totalSeconds(numberBefore(text, 'D'), numberBefore(text, 'H'), numberBefore(text, 'M'),
                        numberBefore(text, 'S'), negative);
}

TimeSpanFields TimeSpan::breakdown() const {
  std::int64_t rest = value_ < 0 ? -static_cast<std::int64_t>(value_) : value_;
  TimeSpanFields fields;
  fields.negative = value_ < 0;
  fields.seconds = static_cast<std::int32_t>(rest % 60);
  rest /= 60;
  fields.minutes = static_cast<std::int32_t>(rest % 60);
  rest /= 60;
  fields.hours = static_cast<std::int32_t>(rest % 24);
  fields.days = static_cast<std::int32_t>(rest / 24);
  return fields;
}

std::string TimeSpan::toString() const {
  if (value_ == 0) return "P0";
  TimeSpanFields fields = breakdown();
  std::string text = fields.negative ? "P-" : "P";
  if (fields.days > 0) text += std::to_string(fields.days) + "D";
  if (fields.hours > 0) text += std::to_string(fields.hours) + "H";
  if (fields.minutes > 0) text += std::to_string(fields.minutes) + "M";
  if (fields.seconds > 0) text += std::to_string(fields.seconds) + "S";
  return text;
}

}  // namespace Vantor
