// Runs once per time zone (UTC, Europe/Berlin, Asia/Kolkata, America/St_Johns): the expected
// local times come from the C library, the zone-specific cases check exact values.
#include <gtest/gtest.h>
#include <time.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "foundation/DateTime.h"
#include "foundation/TimeException.h"
#include "foundation/Timer.h"

namespace Vantor {
namespace {

class DateTimeTest : public ::testing::Test {
 protected:
  void SetUp() override { DateTime::setLastExplicitZone(DateTime::kNoZone); }
  void TearDown() override { DateTime::setLastExplicitZone(DateTime::kNoZone); }

  static std::string zone() {
    const char* tz = std::getenv("TZ");
    return tz == nullptr ? "" : tz;
  }

  // What the C library says the local wall clock shows at t.
  static tm libcLocalTm(std::int64_t t) {
    time_t instant = static_cast<time_t>(t);
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &instant);
#else
    localtime_r(&instant, &local);
#endif
    return local;
  }

  static std::string libcLocal(std::int64_t t) {
    tm local = libcLocalTm(t);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text;
  }

  static long libcOffset(std::int64_t t) {
    tm local = libcLocalTm(t);
#ifdef _WIN32
    // The local wall clock read as if it were UTC, less the instant.
    return static_cast<long>(_mkgmtime(&local) - static_cast<time_t>(t));
#else
    return local.tm_gmtoff;
#endif
  }

  static std::string parseError(const std::string& text) {
    try {
      DateTime parsed(text);
      return "accepted as " + parsed.toString(true, false, false);
    } catch (const TimeException& error) {
      EXPECT_EQ(error.getCode(), TimeException::TM_INPUT);
      return error.getDetail();
    }
  }
};

TEST_F(DateTimeTest, ExtendedAndBasicFormsParseToTheSameInstant) {
  EXPECT_EQ(DateTime("2008-07-21T12:00:00"), DateTime("20080721T120000"));
  EXPECT_EQ(DateTime("2008-07-21T12:00:00Z"), DateTime(2008, 7, 21, 12, 0, 0));
  EXPECT_EQ(DateTime("20080721T120000Z").getValue(), 1216641600);
  EXPECT_EQ(DateTime("2008-07-21T14:00:00+02:00").getValue(), 1216641600);
  EXPECT_EQ(DateTime("2008-07-21T09:30:00-0230").getValue(), 1216641600);
  EXPECT_EQ(DateTime("2008-07-21T14:00:00+02").getValue(), 1216641600);
  // Local text without a zone is read with the system's rules.
  std::int64_t noonUtc = 1216641600;
  EXPECT_EQ(DateTime(libcLocal(noonUtc)).getValue(), noonUtc);
}

TEST_F(DateTimeTest, ShortDatesDefaultAndOneTrailingCharacterIsIgnored) {
  DateTimeFields newYear;
  newYear.year = 2008;
  newYear.local = 1;
  EXPECT_EQ(DateTime("2008T00"), DateTime(newYear));
  EXPECT_EQ(DateTime("2008-07-21XT12:00:00"), DateTime("2008-07-21T12:00:00"));
  EXPECT_EQ(parseError("2008-07-21XYT12:00:00"), "Input too long.");
  EXPECT_EQ(DateTime("2008-07T12:00:00Z"), DateTime(2008, 7, 1, 12, 0, 0));
}

TEST_F(DateTimeTest, MalformedTextNamesWhatIsWrong) {
  EXPECT_EQ(parseError("2008-07-21 12:00:00"), "Date and time must be separated by a 'T'.");
  EXPECT_EQ(parseError("208T12"), "Minimum input: \"yyyy\".");
  EXPECT_EQ(parseError("2008/07/21T12"), "Expected '-' after yyyy (year).");
  EXPECT_EQ(parseError("2008-7T12"), "Illegal input format. Month must have 2 digits.");
  EXPECT_EQ(parseError("2008-07/21T12"), "Expected '-' after mm (month).");
  EXPECT_EQ(parseError("2008-07-2T12"), "Illegal input format. Day must have 2 digits.");
  EXPECT_EQ(parseError("2008-07-21T1"), "Minimum input: \"hh\".");
  EXPECT_EQ(parseError("2008-07-21Tx1"), "Minimum input format: \"hh\".");
  EXPECT_EQ(parseError("2008-07-21T12.00"), "Expected ':' after hh (hours).");
  EXPECT_EQ(parseError("2008-07-21T12:0"), "Illegal input format. Minutes must have 2 digits.");
  EXPECT_EQ(parseError("2008-07-21T12:00Z"), "Expected ':' after mm (minutes).");
  EXPECT_EQ(parseError("2008-07-21T12:00:0"), "Illegal input format. Seconds must have 2 digits.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00ZZ"), "Input too long.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00 01:00"), "Expected '+' or '-' before timezone.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00+1"),
            "Illegal input format. Hours in timezone must have 2 digits.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00+01.00"), "Expected ':' after hh (hours) in timezone.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00+01:0"),
            "Illegal input format. Minutes in timezone must have 2 digits.");
  EXPECT_EQ(parseError("2008-07-21T12:00:00+01:00:00"), "Input too long.");
  EXPECT_EQ(parseError("1969-12-31T23:59:59Z"), "accepted as 1970-12-31T23:59:59Z");
}

TEST_F(DateTimeTest, UtcBasicTextRoundTripsInAnyZone) {
  for (std::int64_t t : {0LL, 1216641600LL, 1206838800LL, 1224982800LL, 2147483647LL}) {
    DateTime value(t);
    std::string text = value.toString(true, true, false);
    EXPECT_EQ(DateTime(text).getValue(), t) << text;
    EXPECT_EQ(DateTime(value.toString(true, false, false)).getValue(), t);
  }
  EXPECT_EQ(DateTime(1216641600LL).toString(true, true, false), "20080721T120000Z");
  EXPECT_EQ(DateTime(2147483647LL).toString(true, false, false), "2038-01-19T03:14:07Z");
}

TEST_F(DateTimeTest, LocalTextMatchesTheSystemAllYearRound) {
  // Every 31 hours through 2008 and 2024: both daylight-saving changes of zones that have them.
  for (std::int64_t start : {1199145600LL, 1704067200LL}) {
    for (std::int64_t t = start; t < start + 366 * 86400LL; t += 31 * 3600 + 17) {
      DateTime value(t);
      ASSERT_EQ(value.toString(false, false, false), libcLocal(t)) << t;
      bool steady = libcOffset(t) == libcOffset(t - 7200) && libcOffset(t) == libcOffset(t + 7200);
      if (steady) {
        ASSERT_EQ(DateTime(libcLocal(t)).getValue(), t) << libcLocal(t);
      }
    }
  }
}

TEST_F(DateTimeTest, ExplicitZoneIsWrittenAndRemembered) {
  DateTime value(2008, 7, 21, 12, 0, 0, -150);
  EXPECT_EQ(value.getValue(), 1216641600 + 150 * 60);
  EXPECT_EQ(DateTime::lastExplicitZone(), -150);
  EXPECT_EQ(value.toString(false, false, true), "2008-07-21T12:00:00-02:30");
  EXPECT_EQ(value.toString(false, true, true), "20080721T120000-02:30");
  EXPECT_EQ(value.toString(true, false, true), "2008-07-21T14:30:00Z");
  // While a zone is remembered it rules local text of values without one.
  EXPECT_EQ(DateTime(1216641600LL).toString(false, false, false), "2008-07-21T09:30:00");
  DateTimeFields local;
  local.year = 2008;
  local.local = 1;
  DateTime fromLocal(local);
  EXPECT_EQ(DateTime::lastExplicitZone(), DateTime::kNoZone);
  DateTime parsed("2008-07-21T12:00:00+05:45");
  EXPECT_EQ(parsed.getZone(), 345);
  EXPECT_EQ(DateTime::lastExplicitZone(), 345);
  EXPECT_EQ(parsed.toString(false, false, true), "2008-07-21T12:00:00+05:45");
}

TEST_F(DateTimeTest, FieldsAreClampedAndOnlyTheRangeThrows) {
  EXPECT_EQ(DateTime(1969, 13, 40, 25, 61, 61).toString(true, false, false),
            "1970-12-31T23:59:59Z");
  EXPECT_EQ(DateTime(2008, 2, 31, 0, 0, 0).toString(true, false, false), "2008-02-29T00:00:00Z");
  EXPECT_EQ(DateTime(2009, 2, 31, 0, 0, 0).toString(true, false, false), "2009-02-28T00:00:00Z");
  EXPECT_EQ(DateTime(2040, 12, 31, 23, 59, 59).getValue(), DateTime::kMaxValue);
  EXPECT_EQ(DateTime(2040, 6, 1, 0, 0, 0).toString(true, false, false), "2038-01-01T00:00:00Z");
  auto code = [](auto build) {
    try {
      build();
    } catch (const TimeException& error) {
      return error.getCode();
    }
    return -1;
  };
  // January 2038 past the 19th is beyond 32 bits and is not clamped.
  EXPECT_EQ(code([] { DateTime(2039, 1, 25, 0, 0, 0); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(-1LL); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(2147483648LL); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(1970, 1, 1, 0, 30, 0, 60); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(DateTime::kMaxValue) + TimeSpan(1); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(0LL) - TimeSpan(1); }), TimeException::TM_DATETIME);
  EXPECT_EQ(code([] { DateTime(5LL).setValue(-5); }), TimeException::TM_DATETIME);
}

TEST_F(DateTimeTest, BreakdownArithmeticAndComparison) {
  DateTimeFields monday = DateTime(2008, 7, 21, 12, 4, 5).breakdown();
  EXPECT_EQ(monday.year, 2008);
  EXPECT_EQ(monday.month, 7);
  EXPECT_EQ(monday.day, 21);
  EXPECT_EQ(monday.weekday, 0);
  EXPECT_EQ(monday.local, 0);
  EXPECT_EQ(DateTime(0LL).breakdown().weekday, 3);  // a Thursday
  EXPECT_EQ(DateTime(2038, 1, 19, 3, 14, 7).breakdown().weekday, 1);

  DateTime start(1000000LL);
  DateTime later = start + TimeSpan(90);
  EXPECT_EQ((later - start).getSeconds(), 90);
  EXPECT_EQ((start - later).getSeconds(), -90);
  EXPECT_EQ((later - TimeSpan(90)), start);
  later += TimeSpan(-30);
  EXPECT_EQ(later.getValue(), 1000060);
  // Zones play no part in comparisons.
  DateTime zoned(1970, 1, 12, 13, 47, 40, 1);
  EXPECT_EQ(zoned.getValue(), 1000000);
  EXPECT_TRUE(zoned == start);
  EXPECT_TRUE(start < later && later > start && start <= zoned && zoned >= start);
}

TEST_F(DateTimeTest, AlignDownFindsLocalBoundaries) {
  for (std::int64_t t = 1199145600LL; t < 1199145600LL + 366 * 86400LL; t += 5 * 86400 + 50000) {
    DateTime day(t);
    day.alignDown(TimeSpan(86400));
    DateTimeFields local = day.localBreakdown();
    ASSERT_EQ(local.hour * 3600 + local.minute * 60 + local.second, 0) << libcLocal(t);
    ASSERT_LE(day.getValue(), t);
    ASSERT_LT(t - day.getValue(), 86400 + 3600);

    DateTime hour(t);
    hour.alignDown(TimeSpan(3600));
    ASSERT_EQ(hour.localBreakdown().minute, 0) << libcLocal(t);
    ASSERT_LT(t - hour.getValue(), 3600);
  }
  DateTime unchanged(1216641605LL);
  unchanged.alignDown(TimeSpan(1));
  EXPECT_EQ(unchanged.getValue(), 1216641605);
  DateTime epoch(10LL);
  epoch.alignDown(TimeSpan(86400));
  EXPECT_GE(epoch.getValue(), 0);
}

TEST_F(DateTimeTest, BerlinAcrossBothDaylightSavingChanges) {
  if (zone() != "Europe/Berlin") GTEST_SKIP() << "needs TZ=Europe/Berlin";
  // Spring: 02:00 CET jumps to 03:00 CEST at 01:00Z.
  EXPECT_EQ(DateTime(2008, 3, 30, 0, 59, 59).toString(false, false, false), "2008-03-30T01:59:59");
  EXPECT_EQ(DateTime(2008, 3, 30, 1, 0, 0).toString(false, false, false), "2008-03-30T03:00:00");
  EXPECT_EQ(DateTime("2008-03-30T03:30:00").toString(true, false, false), "2008-03-30T01:30:00Z");
  // The skipped hour reads one definite instant.
  EXPECT_EQ(DateTime("2008-03-30T02:30:00").toString(true, false, false), "2008-03-30T00:30:00Z");
  // Autumn: 03:00 CEST falls back to 02:00 CET at 01:00Z; the doubled hour reads as CET.
  EXPECT_EQ(DateTime(2008, 10, 26, 0, 30, 0).toString(false, false, false), "2008-10-26T02:30:00");
  EXPECT_EQ(DateTime(2008, 10, 26, 1, 30, 0).toString(false, false, false), "2008-10-26T02:30:00");
  EXPECT_EQ(DateTime("2008-10-26T02:30:00").toString(true, false, false), "2008-10-26T01:30:00Z");
  EXPECT_EQ(DateTime("2008-10-26T04:00:00").toString(true, false, false), "2008-10-26T03:00:00Z");
  // Days of 23 and 25 hours still align to their own midnight.
  DateTime spring(2008, 3, 30, 12, 0, 0);
  spring.alignDown(TimeSpan(86400));
  EXPECT_EQ(spring.toString(true, false, false), "2008-03-29T23:00:00Z");
  DateTime autumn(2008, 10, 26, 22, 0, 0);
  autumn.alignDown(TimeSpan(86400));
  EXPECT_EQ(autumn.toString(true, false, false), "2008-10-25T22:00:00Z");
  EXPECT_EQ(DateTime(2008, 7, 21, 12, 0, 0).getZoneOffset(true), 120);
  EXPECT_EQ(DateTime(2008, 1, 21, 12, 0, 0).getZoneOffset(false), 60);
}

TEST_F(DateTimeTest, HalfHourZonesKeepTheirMinutes) {
  if (zone() == "Asia/Kolkata") {
    EXPECT_EQ(DateTime(2008, 7, 21, 12, 0, 0).toString(false, false, false), "2008-07-21T17:30:00");
    DateTime midnight(2008, 7, 21, 12, 0, 0);
    midnight.alignDown(TimeSpan(86400));
    EXPECT_EQ(midnight.toString(true, false, false), "2008-07-20T18:30:00Z");
    EXPECT_EQ(DateTime(1216641600LL).toString(false, true, true), "20080721T173000+05:30");
  } else if (zone() == "America/St_Johns") {
    // Newfoundland daylight time: UTC-2:30.
    EXPECT_EQ(DateTime(2008, 7, 21, 12, 0, 0).toString(false, false, false), "2008-07-21T09:30:00");
    EXPECT_EQ(DateTime("2008-07-21T09:30:00").getValue(), 1216641600);
    EXPECT_EQ(DateTime(2008, 1, 21, 12, 0, 0).getZoneOffset(true), -210);
  } else {
    GTEST_SKIP() << "needs TZ=Asia/Kolkata or America/St_Johns";
  }
}

TEST_F(DateTimeTest, WaitSecondsAndTimerFollowTheClock) {
  DateTime before;
  auto started = std::chrono::steady_clock::now();
  DateTime::waitSeconds(1);
  EXPECT_GE(DateTime().getValue(), before.getValue() + 1);
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(0));

  Timer timer;
  timer.setExpiry(DateTime() + TimeSpan(60));
  EXPECT_FALSE(timer.isExpired());
  timer.setExpiry(DateTime() - TimeSpan(1));
  EXPECT_TRUE(timer.isExpired());
  Timer::sleep(20);
  EXPECT_GE(timer.elapsedMillis(), 20u);
}

}  // namespace
}  // namespace Vantor
