// A point in time: whole seconds since 1970-01-01T00:00:00 UTC in 0 ... 2^31-1, with an
// optional zone (minutes east of UTC). Text forms are the ISO 8601 subsets
// yyyy-mm-ddThh:mm:ss[Z|+hh:mm] and yyyymmddThhmmss[Z|+hh:mm].
//
// The process keeps one "last explicit zone": set whenever a value receives an explicit zone,
// reset whenever one is built from local fields, and used by local formatting in place of the
// system's rules while it is set. It is an atomic; readers tolerate a stale value.
#ifndef TARNWICK_FOUNDATION_DATETIME_H_
#define TARNWICK_FOUNDATION_DATETIME_H_

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "foundation/TimeBase.h"
#include "foundation/TimeSpan.h"

namespace Vantor {

// A broken-down date and time.
struct DateTimeFields {
  std::int32_t year = 1970;  // in full
  std::int32_t month = 1;    // 1-12
  std::int32_t day = 1;      // 1-31
  std::int32_t weekday = 0;  // 0 = Monday ... 6 = Sunday
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t second = 0;
  std::uint8_t local = 0;  // 0: the fields are UTC; 1: they are local time
};

class DateTime : public TimeBase {
 public:
  static constexpr std::int32_t kNoZone = std::numeric_limits<std::int32_t>::max();
  static constexpr std::int32_t kMaxValue = std::numeric_limits<std::int32_t>::max();

  // Now, in whole seconds, without zone.
  DateTime();
  DateTime(const DateTime& other);
  DateTime& operator=(const DateTime& other);
  // TM_DATETIME when seconds is outside 0 ... kMaxValue.
  explicit DateTime(std::int64_t seconds);
  // UTC fields. Out-of-range fields are clamped; only a result outside the representable
  // range throws TM_DATETIME.
  DateTime(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
           std::int32_t minute, std::int32_t second);
  // Local fields at zone (minutes east of UTC); the value keeps the zone.
  DateTime(std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t hour,
           std::int32_t minute, std::int32_t second, std::int32_t zone);
  // UTC or local fields according to fields.local (weekday is ignored).
  explicit DateTime(const DateTimeFields& fields);
  // "yyyy[-mm[-dd]]Thh[:mm[:ss[Z|+-hh[:mm]]]]"; TM_INPUT with the reason as detail.
  explicit DateTime(std::string_view text);

  bool hasZone() const { return zone_ != kNoZone; }
  std::int32_t getZone() const { return zone_; }

  // Minutes east of UTC for this value: its own zone, else (with useLastZone) the last
  // explicit zone, else the system's offset at this instant.
  std::int32_t getZoneOffset(bool useLastZone) const;

  // See the file comment for the forms; the zone suffix is the offset that applies now.
  std::string toString(bool utc, bool basic, bool withZone) const;

  DateTimeFields breakdown() const;       // UTC
  DateTimeFields localBreakdown() const;  // local, by getZoneOffset(true)

  DateTime operator+(const TimeSpan& span) const;
  DateTime operator-(const TimeSpan& span) const;
  DateTime& operator+=(const TimeSpan& span);
  TimeSpan operator-(const DateTime& other) const;
  // Comparisons look at the UTC seconds only.
  bool operator<(const DateTime& other) const { return value_ < other.value_; }
  bool operator<=(const DateTime& other) const { return value_ <= other.value_; }
  bool operator>(const DateTime& other) const { return value_ > other.value_; }
  bool operator>=(const DateTime& other) const { return value_ >= other.value_; }
  bool operator==(const DateTime& other) const { return value_ == other.value_; }

  // Rounds down to a multiple of span in local time, so whole-day spans end at local
  // midnight. Spans shorter than 2 seconds leave the value as it is.
  void alignDown(const TimeSpan& span);

  // Returns once the system clock has reached seconds after the call.
  static void waitSeconds(std::int32_t seconds);

  static std::int32_t lastExplicitZone();
  static void setLastExplicitZone(std::int32_t zone);

 private:
  void adopt(std::int64_t seconds, std::int32_t zone);

  std::int32_t zone_ = kNoZone;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_DATETIME_H_
