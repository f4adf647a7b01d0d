#include <gtest/gtest.h>

#include "config/ConfigureLogging.h"
#include "logging/LogCommons.h"
#include "platform/PathSeparator.h"
#include "support/LogCapture.h"

namespace Vantor {
namespace {

using testing::LogCapture;

TEST(ConfigureLoggingTest, KeysReachTheWriterAndTheThresholds) {
  LogCapture capture;
  ConfReader reader(capture.sender());
  std::string logDir = capture.dir().file("moved/logs");
  // Where the writer puts it, in the platform's separators.
  const std::string logFile = capture.dir().file("moved") + platform::kPathSeparator + "logs" +
                              platform::kPathSeparator + "tarnwick.log";
  reader.buildFromText(
      "Vantor() = \"\" { directories() = \"\" { log(DirName) = \"" + testing::escaped(logDir) +
      "\" {} } }\n"
      "log() = \"\" {\n"
      "  time(String) = \" zulu \" {}\n"
      "  rotation() = \"\" { scheme(String) = \"Size,Time\" {} time(TimeSpan) = P1D {}\n"
      "                    size(Integer) = 10 {} }\n"
      "  global() = \"\" { severity(String) = WARNING {} debug-level(Integer) = 2 {} }\n"
      "}\n");
  configureLogging(reader, capture.writer());
  EXPECT_EQ(capture.writer().path(), logFile);
  EXPECT_EQ(LogSettings::timeMode.load(), kLogTimeZulu);
  EXPECT_EQ(capture.writer().scheme(), LogWriter::kRotateSize | LogWriter::kRotateTime);
  EXPECT_EQ(LogSettings::threshold.load(), kSeverityWarning);
  EXPECT_EQ(LogSettings::debugLevel.load(), 2);

  reader.buildFromText("log() = \"\" { global() = \"\" { severity(String) = LOUD {} } }\n");
  configureLogging(reader, capture.writer());
  EXPECT_EQ(LogSettings::threshold.load(), kSeverityWarning);  // an unknown name changes nothing
  EXPECT_EQ(LogSettings::debugLevel.load(), 0);                // a missing level sets 0
  EXPECT_EQ(LogSettings::timeMode.load(), kLogTimeZulu);       // a missing time keeps it
  EXPECT_EQ(capture.writer().path(), logFile);
  reader.buildFromText("");
  configureLogging(reader, capture.writer());
  EXPECT_EQ(LogSettings::threshold.load(), 0);
  setLogTimeMode(kLogTimeLocal);
}

}  // namespace
}  // namespace Vantor
