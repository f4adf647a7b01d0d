#include <gtest/gtest.h>

#include <filesystem>

#include "logging/LoggerUnit.h"
#include "logging/MessageCatalogue.h"
#include "logging/StartLogging.h"
#include "platform/PathSeparator.h"
#include "platform/Thread.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using testing::LogCapture;
using testing::writeFile;

TEST(LoggerUnitTest, DebugLinesObeyTheDebugLevel) {
  LogCapture capture;
  LoggerUnit logger(capture.sender(), kModuleTarnwick);
  setDebugLevel(3);
  EXPECT_TRUE(logger.debug(4, "too detailed"));
  EXPECT_TRUE(logger.debug(0, "always"));
  EXPECT_TRUE(logger.debug(3, "pid %i of %s", 42, "foo"));
  setDebugLevel(9);  // out of range: ignored
  EXPECT_EQ(LogSettings::debugLevel.load(), 3);
  EXPECT_FALSE(capture.contains("too detailed"));
  EXPECT_TRUE(capture.contains("debug-0  "));
  EXPECT_TRUE(capture.contains(" (2.08)    always"));
  EXPECT_TRUE(capture.contains(" (2.08)    pid 42 of foo"));

  LogSettings::threadIdentifiers.store(true);
  logger.debug(1, "with thread");
  EXPECT_TRUE(
      capture.contains("    " + std::to_string(platform::currentThreadId()) + ": with thread"));
  LoggerUnit detached(nullptr, kModuleTarnwick);
  EXPECT_FALSE(detached.debug(1, "nowhere to go"));
  EXPECT_TRUE(detached.debug(5, "suppressed before anything is needed"));
}

TEST(LoggerUnitTest, MessagesObeyTheThresholdAndUseTheCatalogue) {
  LogCapture capture;
  std::string catalogueDir = capture.dir().path();
  std::filesystem::create_directory(catalogueDir + "/LogMessages");
  writeFile(catalogueDir + "/LogMessages/tarnwick.mess", "3 : Disk %s is full (%i%%).\n");
  loadMessages(testing::systemEnv(), catalogueDir, "all");
  LoggerUnit logger(capture.sender(), kModuleTarnwick);
  setSeverityThreshold(0);
  EXPECT_TRUE(logger.error(3, "C:", 99));
  EXPECT_TRUE(logger.warning(4, "unknown", 7));
  EXPECT_TRUE(logger.notice(5));
  EXPECT_TRUE(capture.contains("ERROR    "));
  EXPECT_TRUE(capture.contains(" (2.08.03) Disk C: is full (99%)."));
  EXPECT_TRUE(capture.contains(" (2.08.04) (Message not found.) Parameters: unknown  7  "));
  EXPECT_TRUE(capture.contains(" (2.08.05) (Message not found.)"));

  setSeverityThreshold(severityFromName("NOTHING"));
  EXPECT_TRUE(logger.fatal(6, "suppressed"));
  setSeverityThreshold(severityFromName("ERROR"));
  EXPECT_TRUE(logger.warning(7));
  EXPECT_TRUE(logger.critical(8));
  EXPECT_FALSE(capture.contains("(2.08.06)"));
  EXPECT_FALSE(capture.contains("(2.08.07)"));
  EXPECT_TRUE(capture.contains("CRITICAL "));
  LoggerUnit detached(nullptr, kModuleTarnwick);
  EXPECT_FALSE(detached.fatal(1));
  clearMessages();
}

TEST(LoggerUnitTest, UndecodableTextsAreNeitherWrittenNorAccepted) {
  LogCapture capture;
  LogMessenger messenger(std::shared_ptr<LogWriter>(&capture.writer(), [](LogWriter*) {}));
  EXPECT_FALSE(messenger.send("not a record"));
  EXPECT_TRUE(capture.lines().empty());
  // A record whose time cannot be taken is written as the error it caused.
  EXPECT_TRUE(
      messenger.send("Vantor\x1C"
                     "DEBUG\x1C"
                     "2\x1C"
                     "8\x1C-5\x1C"
                     "1\x1Cx\x1C"));
  EXPECT_TRUE(capture.contains("Time: Illegal date and/or time. (Code: 4.8)"));
}

TEST(LoggerUnitTest, NoErrorOfTheLoggingReachesTheCaller) {
  struct Failing : LogMessenger {
    Failing() : LogMessenger(nullptr) {}
    bool send(const std::string&) override { throw std::bad_alloc(); }
  };
  LoggerUnit logger(std::make_shared<LogSender>(kProgramTarnwick, std::make_shared<Failing>()),
                    kModuleTarnwick);
  setDebugLevel(5);
  EXPECT_NO_THROW(EXPECT_FALSE(logger.debug(1, "plain")));
  EXPECT_NO_THROW(EXPECT_FALSE(logger.debug(1, "with %s", "parameters")));
  EXPECT_NO_THROW(EXPECT_FALSE(logger.error(1, "a message")));
}

}  // namespace
}  // namespace Vantor

namespace Vantor {
namespace {

TEST(StartLoggingTest, StartUpSettingsComeFromTheRegistry) {
  testing::TempDir dir;
  testing::ScopedEnv registry("VANTOR_REGISTRY", dir.file("registry.reg").c_str());
  int savedLevel = LogSettings::debugLevel.load();
  EXPECT_FALSE(
      startLogging(testing::systemEnv(), "", "tarnwick.log").has_value());  // no directory known

  testing::writeFile(dir.file("registry.reg"),
                     "Windows Registry Editor Version 5.00\n"
                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
                     "\"StartupLogDir\"=\"" +
                         testing::escaped(dir.path()) +
                         "//log\"\n"
                         "\"StartupDebugLevel\"=dword:00000003\n"
                         "\"LogFileRotationScheme\"=\"init,size\"\n");
  std::optional<Logging> logging = startLogging(testing::systemEnv(), "", "tarnwick.log");
  ASSERT_TRUE(logging.has_value());
  EXPECT_EQ(logging->writer->path(), dir.file("log") + platform::kPathSeparator + "tarnwick.log");
  EXPECT_EQ(logging->writer->scheme(), LogWriter::kRotateInit | LogWriter::kRotateSize);
  EXPECT_EQ(LogSettings::debugLevel.load(), 3);
  EXPECT_TRUE(logging->agentLogger->debug(1, "through the agent's own logger"));
  std::string content =
      testing::readFile(dir.file("log") + platform::kPathSeparator + "tarnwick.log");
  EXPECT_NE(content.find("(2.21)    through the agent's own logger"), std::string::npos);
  EXPECT_NE(content.find("LoggerUnit: Created logger for the Agent module."), std::string::npos);

  std::optional<Logging> given = startLogging(testing::systemEnv(), dir.file("elsewhere"), "x.log");
  ASSERT_TRUE(given.has_value());
  EXPECT_EQ(given->writer->path(), dir.file("elsewhere") + platform::kPathSeparator + "x.log");
  LogSettings::debugLevel.store(savedLevel);
}

}  // namespace
}  // namespace Vantor
