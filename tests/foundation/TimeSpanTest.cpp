#include <gtest/gtest.h>

#include "foundation/TimeException.h"
#include "foundation/TimeSpan.h"

namespace Vantor {
namespace {

std::int32_t codeOf(void (*build)()) {
  try {
    build();
  } catch (const TimeException& error) {
    return error.getCode();
  }
  return -1;
}

TEST(TimeSpanTest, WritesOnlyTheNonZeroParts) {
  EXPECT_EQ(TimeSpan(1, 1, 1, 1).toString(), "P1D1H1M1S");
  EXPECT_EQ(TimeSpan(300).toString(), "P5M");
  EXPECT_EQ(TimeSpan(-3600).toString(), "P-1H");
  EXPECT_EQ(TimeSpan(0).toString(), "P0");
  EXPECT_EQ(TimeSpan(86400 * 2 + 5).toString(), "P2D5S");
  // The most negative value has no positive twin in 32 bits.
  EXPECT_EQ(TimeSpan(INT32_MIN).toString(), "P-24855D3H14M8S");
}

TEST(TimeSpanTest, ReadsTheDigitsBeforeEachLetter) {
  EXPECT_EQ(TimeSpan("").getSeconds(), 0);
  EXPECT_EQ(TimeSpan("P").getSeconds(), 0);
  EXPECT_EQ(TimeSpan("P1DT2H").getSeconds(), 26 * 3600);
  EXPECT_EQ(TimeSpan("PT36H").getSeconds(), 36 * 3600);
  EXPECT_EQ(TimeSpan("P-1H").getSeconds(), -3600);
  EXPECT_EQ(TimeSpan("PT5M").getSeconds(), 300);  // M is always minutes
  EXPECT_EQ(TimeSpan("P1D1H1M1S").getSeconds(), 90061);
  EXPECT_EQ(TimeSpan("PT90S").getSeconds(), 90);
  EXPECT_EQ(TimeSpan("PDHMS").getSeconds(), 0);
  for (const TimeSpan& span : {TimeSpan(90061), TimeSpan(-7322), TimeSpan(59)}) {
    EXPECT_EQ(TimeSpan(span.toString()), span) << span.toString();
  }
  try {
    TimeSpan("1D");
    FAIL() << "a span without P was accepted";
  } catch (const TimeException& error) {
    EXPECT_EQ(error.getCode(), TimeException::TM_INPUT);
    EXPECT_EQ(error.getDetail(), "Expected 'P' in beginning of time span.");
  }
}

TEST(TimeSpanTest, TotalsBeyondThirtyTwoBitsAreRejectedNotWrapped) {
  EXPECT_EQ(codeOf([] { TimeSpan("P99999999999999999999D"); }), TimeException::TM_DAYS);
  EXPECT_EQ(codeOf([] { TimeSpan("P24856D"); }), TimeException::TM_DAYS);
  EXPECT_EQ(TimeSpan("P24855D").getSeconds(), 24855 * 86400);
  EXPECT_EQ(codeOf([] {
              TimeSpan(TimeSpanFields{30000, 0, 0, 0, false});
            }),
            TimeException::TM_DAYS);
}

TEST(TimeSpanTest, FieldsAreValidatedInOrder) {
  EXPECT_EQ(codeOf([] { TimeSpan(24856, 0, 0, 0); }), TimeException::TM_DAYS);
  EXPECT_EQ(codeOf([] { TimeSpan(-24856, 0, 0, 0); }), TimeException::TM_DAYS);
  EXPECT_EQ(codeOf([] { TimeSpan(0, 24, 0, 0); }), TimeException::TM_HOURS);
  EXPECT_EQ(codeOf([] { TimeSpan(0, 0, 60, 0); }), TimeException::TM_MINUTES);
  EXPECT_EQ(codeOf([] { TimeSpan(0, 0, 0, 60); }), TimeException::TM_SECONDS);
  EXPECT_EQ(codeOf([] { TimeSpan(24856, 24, 60, 60); }), TimeException::TM_DAYS);
  EXPECT_EQ(codeOf([] { TimeSpan(0, -1, 0, 0); }), TimeException::TM_HOURS);
  // 24855 days and 23 hours no longer fit in 32 bits of seconds.
  EXPECT_EQ(codeOf([] { TimeSpan(24855, 23, 0, 0); }), TimeException::TM_DAYS);
  EXPECT_EQ(TimeSpan(24855, 3, 14, 7).getSeconds(), INT32_MAX);
}

TEST(TimeSpanTest, BrokenDownFormIsTakenFromTheAbsoluteValue) {
  TimeSpanFields fields = TimeSpan(-(2 * 86400 + 3 * 3600 + 4 * 60 + 5)).breakdown();
  EXPECT_TRUE(fields.negative);
  EXPECT_EQ(fields.days, 2);
  EXPECT_EQ(fields.hours, 3);
  EXPECT_EQ(fields.minutes, 4);
  EXPECT_EQ(fields.seconds, 5);
  // From a record no range applies to the single fields.
  EXPECT_EQ(TimeSpan(TimeSpanFields{0, 36, 90, 0, true}).getSeconds(), -(36 * 3600 + 90 * 60));
}

}  // namespace
}  // namespace Vantor
