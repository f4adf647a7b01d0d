#include "foundation/DateTime.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "foundation/TimeException.h"
#include "platform/Clock.h"

namespace Vantor {

namespace {

std::atomic<std::int32_t> lastZone{DateTime::kNoZone};

// The calendar rule of the whole range 1970-2038: every fourth year from 1968 is a leap year.
bool isLeapYear(std::int64_t year) { return (year - 1968) % 4 == 0; }

std::int32_t daysInMonth(std::int64_t year, std::int32_t month) {
  static constexpr std::int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year)) return 29;
  return kDays[month - 1];
}

std::int64_t daysBeforeYear(std::int64_t year) { return (year - 1970) * 365 + (year - 1969) / 4; }

[[noreturn]] void throwOutOfRange() {
  throw TimeException(TimeException::TM_DATETIME, "", __FILE__, __LINE__);
}

struct Fields {
  std::int32_t year, month, day, hour, minute, second;
};

// Clamps each field into its range. A year after 2038 becomes 2038, and the later fields are
// lowered to those of the last representable second for as long as every earlier one had to
// be lowered.
Fields clamped(Fields f) {
  bool beyond2038 = f.year > 2038;
  f.year = std::clamp(f.year, 1970, 2038);
  f.month = std::clamp(f.month, 1, 12);
  f.day = std::clamp(f.day, 1, daysInMonth(f.year, f.month));
  f.hour = std::clamp(f.hour, 0, 23);
  f.minute = std::clamp(f.minute, 0, 59);
  f.second = std::clamp(f.second, 0, 59);
  if (beyond2038) {
    static constexpr Fields kLast = {2038, 1, 19, 3, 14, 7};
    std::int32_t* fields[] = {&f.month, &f.day, &f.hour, &f.minute, &f.second};
    const std::int32_t limits[] = {kLast.month, kLast.day, kLast.hour, kLast.minute, kLast.second};
    for (int i = 0; i < 5 && *fields[i] > limits[i]; ++i) *fields[i] = limits[i];
  }
  return f;
}

// Seconds of the clamped fields read as UTC, minus zone minutes; not range-checked.
std::int64_t secondsOf(const Fields& raw, std::int32_t zoneMinutes) {
  Fields f = clamped(raw);
  std::int64_t days = daysBeforeYear(f.year) + f.day - 1;
  for (std::int32_t month = 1; month < f.month; ++month) days += daysInMonth(f.year, month);
  return days * 86400 + f.hour * 3600LL + (f.minute - static_cast<std::int64_t>(zoneMinutes)) * 60 +
         f.second;
}

std::int32_t checkedValue(std::int64_t seconds) {
  if (seconds < 0 || seconds > DateTime::kMaxValue) throwOutOfRange();
  return static_cast<std::int32_t>(seconds);
}

std::int32_t systemOffsetMinutes(std::int64_t seconds) {
  return platform::systemClock().localOffsetSeconds(seconds) / 60;
}

// Local fields to an instant: subtract the larger of the offsets at t and at t - 1 hour, which
// picks one definite instant in the hour around a daylight-saving change.
std::int32_t valueOfLocal(const Fields& fields) {
  std::int64_t t = secondsOf(fields, 0);
  DateTime::setLastExplicitZone(DateTime::kNoZone);
  std::int32_t offset = std::max(systemOffsetMinutes(t), systemOffsetMinutes(t - 3600));
  return checkedValue(t - static_cast<std::int64_t>(offset) * 60);
}

DateTimeFields fieldsOf(std::int64_t seconds) {
  DateTimeFields fields;
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  fields.weekday = static_cast<std::int32_t>((days + 3) % 7);  // 1970-01-01 was a Thursday
  fields.hour = static_cast<std::int32_t>(rest / 3600);
  fields.minute = static_cast<std::int32_t>(rest / 60 % 60);
  fields.second = static_cast<std::int32_t>(rest % 60);
  std::int64_t year = 1970;
  while (days >= (isLeapYear(year) ? 366 : 365)) days -= isLeapYear(year++) ? 366 : 365;
  std::int32_t month = 1;
  while (days >= daysInMonth(year, month)) days -= daysInMonth(year, month++);
  fields.year = static_cast<std::int32_t>(year);
  fields.month = month;
  fields.day = static_cast<std::int32_t>(days) + 1;
  return fields;
}

// ---- Text parsing ----

[[noreturn]] void inputError(const char* reason) {
  throw TimeException(TimeException::TM_INPUT, reason, __FILE__, __LINE__);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The field's number when it is all digits, else the fallback (the current date or time).
std::int32_t fieldOr(std::string_view digits, std::int32_t fallback) {
  std::int32_t number = 0;
  for (char c : digits) {
    if (!isDigit(c)) return fallback;
    number = number * 10 + (c - '0');
  }
  return number;
}

// After a field of two characters at *pos, the next field starts right there (a digit, basic
// form) or after a separator; anything else is the given error.
void skipSeparator(std::string_view text, std::size_t* pos, char separator, const char* error) {
  if (text[*pos] == separator) {
    ++*pos;
  } else if (!isDigit(text[*pos])) {
    inputError(error);
  }
}

std::string_view twoCharacters(std::string_view text, std::size_t pos, const char* error) {
  if (text.size() < pos + 2) inputError(error);
  return text.substr(pos, 2);
}

// A two-character field after the first one of a date or time.
struct FollowingField {
  const char* separatorError;  // the character before it is neither a digit nor the separator
  const char* lengthError;     // fewer than two characters are left for it
  std::int32_t fallback;       // taken when it is not all digits
  std::int32_t* value;
};

// Reads up to two fields, each after an optional separator (the basic form has none). Returns
// how many were read and leaves *pos after the last.
int readFollowingFields(std::string_view text, std::size_t* pos, char separator,
                        const FollowingField (&fields)[2]) {
  for (int i = 0; i < 2; ++i) {
    if (*pos >= text.size()) return i;
    skipSeparator(text, pos, separator, fields[i].separatorError);
    *fields[i].value =
        fieldOr(twoCharacters(text, *pos, fields[i].lengthError), fields[i].fallback);
    *pos += 2;
  }
  return 2;
}

void parseDate(std::string_view date, const DateTimeFields& now, Fields* fields) {
  if (date.size() < 4) inputError("Minimum input: \"yyyy\".");
  fields->year = fieldOr(date.substr(0, 4), now.year);
  fields->month = 1;
  fields->day = 1;
  std::size_t pos = 4;
  int read = readFollowingFields(
      date, &pos, '-',
      {{"Expected '-' after yyyy (year).", "Illegal input format. Month must have 2 digits.",
        now.month, &fields->month},
       {"Expected '-' after mm (month).", "Illegal input format. Day must have 2 digits.", now.day,
        &fields->day}});
  // One stray character after the day is tolerated, more are not.
  if (read == 2 && date.size() >= pos + 2) inputError("Input too long.");
}

// A zone after the seconds: "Z" (UTC, *zone untouched, *utc set) or "+hh[[:]mm]".
void parseZone(std::string_view zone, bool* utc, std::int32_t* zoneMinutes) {
  if (zone[0] == 'Z') {
    if (zone.size() != 1) inputError("Input too long.");
    *utc = true;
    return;
  }
  if (zone[0] != '+' && zone[0] != '-') inputError("Expected '+' or '-' before timezone.");
  if (zone.size() < 3 || !isDigit(zone[1]) || !isDigit(zone[2])) {
    inputError("Illegal input format. Hours in timezone must have 2 digits.");
  }
  std::int32_t minutes = ((zone[1] - '0') * 10 + (zone[2] - '0')) * 60;
  std::size_t pos = 3;
  if (pos < zone.size()) {
    skipSeparator(zone, &pos, ':', "Expected ':' after hh (hours) in timezone.");
    std::string_view digits =
        twoCharacters(zone, pos, "Illegal input format. Minutes in timezone must have 2 digits.");
    if (!isDigit(digits[0]) || !isDigit(digits[1])) {
      inputError("Illegal input format. Minutes in timezone must have 2 digits.");
    }
    minutes += (digits[0] - '0') * 10 + (digits[1] - '0');
    pos += 2;
    if (zone.size() >= pos + 2) inputError("Input too long.");
  }
  *zoneMinutes = zone[0] == '-' ? -minutes : minutes;
}

void parseTime(std::string_view time, const DateTimeFields& now, Fields* fields, bool* utc,
               std::int32_t* zoneMinutes) {
  if (time.size() < 2) inputError("Minimum input: \"hh\".");
  if (!isDigit(time[0]) || !isDigit(time[1])) inputError("Minimum input format: \"hh\".");
  fields->hour = fieldOr(time.substr(0, 2), now.hour);
  fields->minute = 0;
  fields->second = 0;
  std::size_t pos = 2;
  int read = readFollowingFields(
      time, &pos, ':',
      {{"Expected ':' after hh (hours).", "Illegal input format. Minutes must have 2 digits.",
        now.minute, &fields->minute},
       {"Expected ':' after mm (minutes).", "Illegal input format. Seconds must have 2 digits.",
        now.second, &fields->second}});
  // A zone is only recognised after the seconds.
  if (read == 2 && pos < time.size()) parseZone(time.substr(pos), utc, zoneMinutes);
}

std::string twoDigits(std::int32_t number) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", number);
  return buffer;
}

}  // namespace

DateTime::DateTime() : TimeBase(checkedValue(platform::systemClock().utcSeconds())) {}

DateTime::DateTime(const DateTime& other) : TimeBase(other.value_), zone_(other.zone_) {
  if (hasZone()) setLastExplicitZone(zone_);
}

DateTime& DateTime::operator=(const DateTime& other) {
  value_ = other.value_;
  zone_ = other.zone_;
  if (hasZone()) setLastExplicitZone(zone_);
  return *this;
}

DateTime::DateTime(std::int64_t seconds) : TimeBase(checkedValue(seconds)) {}

DateTime::DateTime(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
                   std::int32_t minute, std::int32_t second)
    : TimeBase(checkedValue(secondsOf({year, month, day, hour, minute, second}, 0))) {}

DateTime::DateTime(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
                   std::int32_t minute, std::int32_t second, std::int32_t zone)
    : TimeBase(0) {
  adopt(secondsOf({year, month, day, hour, minute, second}, zone), zone);
}

DateTime::DateTime(const DateTimeFields& f) : TimeBase(0) {
  Fields fields{f.year, f.month, f.day, f.hour, f.minute, f.second};
  value_ = f.local ? valueOfLocal(fields) : checkedValue(secondsOf(fields, 0));
}

DateTime::DateTime(std::string_view text) : TimeBase(0) {
  std::string_view::size_type t = text.find('T');
  if (t == std::string_view::npos) inputError("Date and time must be separated by a 'T'.");
  DateTimeFields now = DateTime().localBreakdown();
  Fields fields{};
  bool utc = false;
  std::int32_t zone = kNoZone;
  parseDate(text.substr(0, t), now, &fields);
  parseTime(text.substr(t + 1), now, &fields, &utc, &zone);
  if (utc) {
    value_ = checkedValue(secondsOf(fields, 0));
  } else if (zone != kNoZone) {
    adopt(secondsOf(fields, zone), zone);
  } else {
    value_ = valueOfLocal(fields);
  }
}

void DateTime::adopt(std::int64_t seconds, std::int32_t zone) {
  value_ = checkedValue(seconds);
  zone_ = zone;
  setLastExplicitZone(zone);
}

std::int32_t DateTime::getZoneOffset(bool useLastZone) const {
  if (hasZone()) return zone_;
  std::int32_t last = lastExplicitZone();
  if (useLastZone && last != kNoZone) return last;
  return systemOffsetMinutes(value_);
}

DateTimeFields DateTime::breakdown() const { return fieldsOf(value_); }

DateTimeFields DateTime::localBreakdown() const {
  std::int64_t local = value_ + static_cast<std::int64_t>(getZoneOffset(true)) * 60;
  DateTimeFields fields = fieldsOf(local < 0 ? kMaxValue : local);
  fields.local = 1;
  return fields;
}

std::string DateTime::toString(bool utc, bool basic, bool withZone) const {
  DateTimeFields f = utc ? breakdown() : localBreakdown();
  const char* dateSeparator = basic ? "" : "-";
  const char* timeSeparator = basic ? "" : ":";
  std::string text = std::to_string(f.year) + dateSeparator + twoDigits(f.month) + dateSeparator +
                     twoDigits(f.day) + "T" + twoDigits(f.hour) + timeSeparator +
                     twoDigits(f.minute) + timeSeparator + twoDigits(f.second);
  if (utc) return text + "Z";
  if (withZone) {
    std::int32_t offset = DateTime().getZoneOffset(true);
    std::int32_t magnitude = offset < 0 ? -offset : offset;
    text += (offset >= 0 ? "+" : "-") + twoDigits(magnitude / 60) + ":" + twoDigits(magnitude % 60);
  }
  return text;
}

DateTime DateTime::operator+(const TimeSpan& span) const {
  DateTime result(*this);
  result += span;
  return result;
}

DateTime DateTime::operator-(const TimeSpan& span) const {
  DateTime result(*this);
  result.value_ = checkedValue(static_cast<std::int64_t>(value_) - span.getSeconds());
  return result;
}

DateTime& DateTime::operator+=(const TimeSpan& span) {
  value_ = checkedValue(static_cast<std::int64_t>(value_) + span.getSeconds());
  return *this;
}

TimeSpan DateTime::operator-(const DateTime& other) const {
  return TimeSpan(static_cast<std::int32_t>(static_cast<std::int64_t>(value_) - other.value_));
}

void DateTime::alignDown(const TimeSpan& span) {
  std::int64_t length = span.getSeconds();
  if (length < 2) return;
  // The value's own zone or the system's rules; never the remembered explicit zone.
  auto offsetAt = [this](std::int64_t t) {
    return hasZone() ? zone_ : systemOffsetMinutes(std::max<std::int64_t>(0, t));
  };
  std::int64_t original = value_;
  std::int32_t before = offsetAt(original);
  std::int64_t local = original + static_cast<std::int64_t>(before) * 60;
  std::int64_t aligned = original - ((local % length) + length) % length;
  // The boundary is local: when the offset there differs (a daylight-saving change lies in
  // between), the same local boundary sits (before - after) minutes later in UTC. Stepping
  // down again instead would land a whole span early after a change to summer time.
  std::int32_t after = offsetAt(aligned);
  if (after != before) {
    std::int64_t shifted = aligned + static_cast<std::int64_t>(before - after) * 60;
    if (shifted <= original) aligned = shifted;
  }
  // Near the epoch the boundary may lie before 1970; the epoch is the earliest we have.
  value_ = static_cast<std::int32_t>(std::max<std::int64_t>(0, aligned));
}

void DateTime::waitSeconds(std::int32_t seconds) {
  // Polls the clock rather than sleeping the whole span, so that a clock change counts, but
  // between polls the thread sleeps instead of burning a processor.
  platform::Clock& clock = platform::systemClock();
  std::int64_t until = clock.utcSeconds() + seconds;
  while (clock.utcSeconds() < until) clock.sleepMillis(50);
}

std::int32_t DateTime::lastExplicitZone() { return lastZone.load(std::memory_order_relaxed); }

void DateTime::setLastExplicitZone(std::int32_t zone) {
  lastZone.store(zone, std::memory_order_relaxed);
}

}  // namespace Vantor
