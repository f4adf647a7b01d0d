#include <gtest/gtest.h>

#include "foundation/TimeException.h"
#include "logging/LogCommons.h"

namespace Vantor {
namespace {

TEST(LogCommonsTest, ParametersAreSubstitutedByType) {
  std::string numberThenString = parameterList(42, "foo");
  EXPECT_EQ(numberThenString,
            "n42\x1A"
            "sfoo\x1A");
  EXPECT_EQ(formatMessage("pid %i of %s", numberThenString), "pid 42 of foo");
  EXPECT_EQ(formatMessage("pid %i of %s", parameterList("foo", 42)), "pid \\foo\\ of \\42\\");
  EXPECT_EQ(formatMessage("ends in %", parameterList("x")), "ends in <?}");
  EXPECT_EQ(formatMessage("100%%", ""), "100%");
  EXPECT_EQ(formatMessage("%s and %s", parameterList("one")), "one and <?}");
  EXPECT_EQ(formatMessage("%x", parameterList("odd")), "\\odd\\");
  EXPECT_EQ(formatMessage("%f", parameterList(2.5)), "2.5");
  // A string that already ends in the separator gets no second one.
  EXPECT_EQ(parameterList(std::string("a\x1A")), "sa\x1A");
  EXPECT_EQ(formatMessage("[%s]", parameterList("")), "[]");
}

TEST(LogCommonsTest, RecordsSurviveTheirTextEncoding) {
  LogRecord message;
  message.isDebug = false;
  message.sender = 2;
  message.module = 8;
  message.time = DateTime(1216641600LL);
  message.severity = kSeverityError;
  message.messageNumber = 12;
  message.text = parameterList("disk", 3);
  std::string encoded = encodeRecord(message);
  EXPECT_EQ(encoded.substr(0, 12),
            "Vantor\x1CLOG\x1C"
            "2");
  EXPECT_FALSE(isDebugRecord(encoded));
  LogRecord back;
  ASSERT_TRUE(decodeRecord(encoded, &back));
  EXPECT_FALSE(back.isDebug);
  EXPECT_EQ(back.sender, 2);
  EXPECT_EQ(back.module, 8);
  EXPECT_EQ(back.time.getValue(), 1216641600);
  EXPECT_EQ(back.severity, kSeverityError);
  EXPECT_EQ(back.messageNumber, 12);
  EXPECT_EQ(back.text, message.text);

  LogRecord debug;
  debug.debugLevel = 4;
  debug.module = 21;
  debug.time = DateTime(5LL);
  debug.text = "text with a \x1C separator";
  std::string encodedDebug = encodeRecord(debug);
  EXPECT_TRUE(isDebugRecord(encodedDebug));
  ASSERT_TRUE(decodeRecord(encodedDebug, &back));
  EXPECT_TRUE(back.isDebug);
  EXPECT_EQ(back.debugLevel, 4);
  EXPECT_EQ(back.messageNumber, kNoMessageNumber);
  EXPECT_EQ(back.text, debug.text);

  EXPECT_FALSE(
      decodeRecord("Vantar\x1CLOG\x1C"
                   "2\x1C"
                   "8\x1C"
                   "0\x1C"
                   "1\x1Cx\x1C"
                   "3\x1C",
                   &back));
  EXPECT_FALSE(
      decodeRecord("Vantor\x1CINFO\x1C"
                   "2\x1C"
                   "8\x1C"
                   "0\x1C"
                   "1\x1Cx\x1C",
                   &back));
  EXPECT_FALSE(
      decodeRecord("Vantor\x1C"
                   "DEBUG\x1C"
                   "2",
                   &back));
  EXPECT_FALSE(
      isDebugRecord("Vantor\x1C"
                    "DEB"));
  // Numbers are read as far as they go.
  ASSERT_TRUE(
      decodeRecord("Vantor\x1CLOG\x1Cx\x1C"
                   "8z\x1C"
                   "0\x1C"
                   "1\x1C\x1C"
                   "7\x1C",
                   &back));
  EXPECT_EQ(back.sender, 0);
  EXPECT_EQ(back.module, 8);
  EXPECT_THROW(decodeRecord("Vantor\x1C"
                            "DEBUG\x1C"
                            "2\x1C"
                            "8\x1C-5\x1C"
                            "1\x1Cx\x1C",
                            &back),
               TimeException);
}

TEST(LogCommonsTest, LogLinesHaveTheirFixedShape) {
  LogRecord record;
  record.isDebug = false;
  record.sender = 2;
  record.module = 8;
  record.time = DateTime(1216641600LL);
  record.severity = kSeverityError;
  record.messageNumber = 3;
  record.text = "Disk full";
  std::string time = record.time.toString(false, false, false);
  EXPECT_EQ(formatLogLine(record, true, true), "ERROR    " + time + " (2.08.03) Disk full");
  EXPECT_EQ(formatLogLine(record, false, true), "2(2.08.03) Disk full");
  record.text = parameterList("disk", 3);
  EXPECT_EQ(formatLogLine(record, true, false),
            "ERROR    " + time + " (2.08.03) (Message not found.) Parameters: disk  3  ");
  record.text.clear();
  EXPECT_EQ(formatLogLine(record, true, false),
            "ERROR    " + time + " (2.08.03) (Message not found.)");
  record.severity = kSeverityCritical;
  record.messageNumber = 123;
  record.text = "x";
  EXPECT_EQ(formatLogLine(record, true, true), "CRITICAL " + time + " (2.08.123) x");

  LogRecord debug;
  debug.sender = 2;
  debug.module = 8;
  debug.time = DateTime(1216641600LL);
  debug.debugLevel = 4;
  debug.text = "hello";
  EXPECT_EQ(formatLogLine(debug, true, false), "debug-4  " + time + " (2.08)    hello");
  EXPECT_EQ(formatLogLine(debug, false, false), "9(2.08)    hello");
  debug.timeMode = kLogTimeZulu;
  EXPECT_EQ(formatLogLine(debug, true, false), "debug-4  2008-07-21T12:00:00Z (2.08)    hello");
}

TEST(LogCommonsTest, NamesAndNumbers) {
  EXPECT_EQ(severityFromName("FATAL"), 4);
  EXPECT_EQ(severityFromName("NOTHING"), 5);
  EXPECT_EQ(severityFromName("NONE"), 5);
  EXPECT_EQ(severityFromName("fatal"), -1);
  EXPECT_EQ(severityName(1), "WARNING");
  EXPECT_EQ(moduleName(21), "Agent");
  EXPECT_EQ(moduleName(11), "<<Unknown>>");
  EXPECT_EQ(moduleFromName("tarnwick"), 8);
  EXPECT_EQ(moduleFromName("Tarnwick"), kNoModule);
  EXPECT_EQ(moduleFromName("bogus"), kNoModule);
  EXPECT_EQ(programName(2), "Tarnwick");
  EXPECT_EQ(programFromName("core"), 1);
  EXPECT_EQ(programFromName("nothing"), 0);
}

}  // namespace
}  // namespace Vantor
