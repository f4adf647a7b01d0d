#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "foundation/SystemInfo.h"
#include "logging/LogWriter.h"
#include "logging/LoggerUnit.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using testing::LogCapture;
using testing::readFile;

// The rotated files beside the log, by their counter.
std::map<int, std::string> rotatedFiles(const LogCapture& capture) {
  std::map<int, std::string> files;
  std::regex name(R"(tarnwick_\d{8}T\d{6}_(\d+)\.log)");
  for (const auto& entry : std::filesystem::directory_iterator(capture.dir().path())) {
    std::smatch match;
    std::string file = entry.path().filename().string();
    if (std::regex_match(file, match, name)) files[std::stoi(match[1])] = entry.path().string();
  }
  return files;
}

// Whether one of the rotated files holds text (rotation messages go into the file rotated).
bool rotatedContain(const LogCapture& capture, const std::string& text) {
  for (const auto& [counter, path] : rotatedFiles(capture)) {
    if (readFile(path).find(text) != std::string::npos) return true;
  }
  return false;
}

std::string registryValue(const std::string& name) {
  std::string value;
  SystemInfo::getResourceString(testing::systemEnv().registry(), name, value);
  return value;
}

TEST(LogWriterTest, BannersFrameTheFileAndMovesAreAnnounced) {
  LogCapture capture;
  LogWriter& writer = capture.writer();
  ASSERT_TRUE(writer.writeLine("first"));
  writer.close("Quitting Logger Agent");
  std::vector<std::string> lines = capture.lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1].rfind("Opened log file \"" + capture.logPath() + "\". Time: ", 0), 0u);
  EXPECT_EQ(lines[2], "first");
  EXPECT_NE(lines[4].find(". Reason: Quitting Logger Agent."), std::string::npos);
  EXPECT_FALSE(registryValue("TarnwickLogOpened").empty());
  // A path from the root has its slash once; one with a drive letter keeps it.
  std::string path = capture.logPath();
  EXPECT_EQ(writer.getUrl(), "file:///" + (path[0] == '/' ? path.substr(1) : path));

  ASSERT_TRUE(writer.setPath(capture.logPath()));  // the same path: nothing happens
  std::string moved = capture.dir().file("moved.log");
  ASSERT_TRUE(writer.setPath(moved));
  EXPECT_TRUE(capture.contains("Log file moved to \"" + moved + "\"."));
  EXPECT_NE(readFile(moved).find("Log continued from \"" + capture.logPath() + "\"."),
            std::string::npos);
  writer.setBanners(false);
  ASSERT_TRUE(writer.writeLine("second"));
  EXPECT_EQ(readFile(moved).substr(readFile(moved).size() - 8), "second\r\n");
}

TEST(LogWriterTest, SizeRotationAtWholeMegabytesWithConsecutiveCounters) {
  LogCapture capture;
  LogWriter& writer = capture.writer();
  writer.setBanners(false);
  writer.setScheme(LogWriter::parseScheme("size"));
  writer.setRotationSize(1);
  ASSERT_TRUE(writer.writeLine(std::string(LogWriter::kMegabyte - 3, 'a')));  // 1048575 bytes
  ASSERT_TRUE(writer.writeLine("b"));  // checked at 1048575 bytes: no rotation
  EXPECT_TRUE(rotatedFiles(capture).empty());
  ASSERT_TRUE(writer.writeLine("c"));  // checked at 1048578 bytes: rotation first
  std::map<int, std::string> rotated = rotatedFiles(capture);
  ASSERT_EQ(rotated.size(), 1u);
  EXPECT_EQ(rotated.begin()->first, 0);
  EXPECT_EQ(readFile(rotated.begin()->second).size(), LogWriter::kMegabyte + 2);
  EXPECT_EQ(readFile(capture.logPath()), "c\r\n");
  EXPECT_EQ(registryValue("TarnwickLogCounter"), "1");
}

TEST(LogWriterTest, OnlyTheNewestRotatedFilesAreKept) {
  LogCapture capture;
  LogWriter& writer = capture.writer();
  writer.setBanners(false);
  writer.setScheme(LogWriter::kRotateSize);
  writer.setRotationSize(1);
  writer.setRotationsKept(2);
  std::filesystem::path other = capture.dir().file("tarnwick_notes.log");  // not a rotated file
  testing::writeFile(other.string(), "kept");
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(writer.writeLine(std::string(LogWriter::kMegabyte, 'a')));
  std::map<int, std::string> rotated = rotatedFiles(capture);
  ASSERT_EQ(rotated.size(), 2u);
  EXPECT_EQ(rotated.begin()->first, 9);
  EXPECT_EQ(rotated.rbegin()->first, 10);
  EXPECT_TRUE(std::filesystem::exists(other));
}

TEST(LogWriterTest, AFailedRotationRaisesTheLimitByAQuarter) {
  LogCapture capture;
  SystemInfo::setResourceString(testing::systemEnv().registry(), "TarnwickLogOpened",
                                "20080721T000000Z");
  SystemInfo::setResourceString(testing::systemEnv().registry(), "TarnwickLogCounter", "4");
  testing::writeFile(capture.logPath(), "");  // an existing file keeps the stored opened time
  std::string blocked = capture.dir().file(
      "tarnwick_" + DateTime("20080721T000000Z").toString(false, true, false) + "_4.log");
  std::filesystem::create_directory(blocked);  // the rotation cannot move onto a directory
  std::filesystem::create_directory(blocked + "/keep");
  LogWriter& writer = capture.writer();
  writer.setScheme(LogWriter::kRotateSize);
  writer.setRotationSize(1);
  ASSERT_TRUE(writer.writeLine(std::string(LogWriter::kMegabyte, 'a')));
  ASSERT_TRUE(writer.writeLine("tries to rotate"));
  EXPECT_TRUE(capture.contains("Log file rotation error. ("));
  EXPECT_TRUE(capture.contains("Rotate condition: Size 1 >= 1"));
  EXPECT_EQ(registryValue("TarnwickLogCounter"), "5");
  // 1 MB is below the raised limit of 1.25 MB: no second attempt on every line.
  ASSERT_TRUE(writer.writeLine("no second attempt"));
  EXPECT_EQ(registryValue("TarnwickLogCounter"), "5");
  EXPECT_TRUE(capture.contains("no second attempt"));
}

TEST(LogWriterTest, ARestartedWriterKeepsItsOpenedTimeAndCounter) {
  LogCapture capture;
  std::string opened;
  {
    LogWriter writer(testing::systemEnv(), capture.logPath());
    writer.setScheme(LogWriter::kRotateSize);
    writer.setRotationSize(1);
    writer.setBanners(false);
    ASSERT_TRUE(writer.writeLine(std::string(LogWriter::kMegabyte, 'x')));
    ASSERT_TRUE(writer.writeLine("rotates"));
    opened = registryValue("TarnwickLogOpened");
    ASSERT_TRUE(writer.writeLine(std::string(LogWriter::kMegabyte, 'y')));
    writer.close("Quitting Logger Agent");
  }
  std::string openedAfterFirstRun = registryValue("TarnwickLogOpened");
  LogWriter restarted(testing::systemEnv(), capture.logPath());
  restarted.setScheme(LogWriter::kRotateSize);
  restarted.setRotationSize(1);
  ASSERT_TRUE(restarted.writeLine("continues"));  // 1 MB already there: rotates with counter 1
  std::map<int, std::string> rotated = rotatedFiles(capture);
  ASSERT_EQ(rotated.size(), 2u);
  EXPECT_EQ(rotated.begin()->first, 0);
  EXPECT_EQ(rotated.rbegin()->first, 1);
  std::string expectedName =
      "tarnwick_" + DateTime(openedAfterFirstRun).toString(false, true, false) + "_1.log";
  EXPECT_EQ(std::filesystem::path(rotated[1]).filename().string(), expectedName);
  EXPECT_EQ(registryValue("TarnwickLogCounter"), "2");
}

TEST(LogWriterTest, InitRotatesAnExistingFileOnlyAtTheFirstLine) {
  LogCapture capture;
  {
    LogWriter fresh(testing::systemEnv(), capture.logPath());
    fresh.setScheme(LogWriter::parseScheme("init"));
    ASSERT_TRUE(fresh.writeLine("new file: no rotation"));
    ASSERT_TRUE(fresh.writeLine("second line"));
  }
  EXPECT_TRUE(rotatedFiles(capture).empty());
  LogWriter again(testing::systemEnv(), capture.logPath());
  again.setScheme(LogWriter::parseScheme("none, init"));
  ASSERT_TRUE(again.writeLine("after restart"));
  ASSERT_TRUE(again.writeLine("no second rotation"));
  EXPECT_EQ(rotatedFiles(capture).size(), 1u);
  EXPECT_TRUE(rotatedContain(capture, "Rotate condition(s): Init"));
  EXPECT_TRUE(rotatedContain(capture, "second line"));
  EXPECT_TRUE(capture.contains("no second rotation"));
  // After the start, "init,size" goes on rotating by size.
  again.setScheme(LogWriter::parseScheme("init,size"));
  again.setRotationSize(1);
  ASSERT_TRUE(again.writeLine(std::string(LogWriter::kMegabyte, 'a')));
  ASSERT_TRUE(again.writeLine("rotated by size"));
  EXPECT_EQ(rotatedFiles(capture).size(), 2u);
  EXPECT_TRUE(rotatedContain(capture, "Rotate condition: Size 1 >= 1"));
  EXPECT_EQ(LogWriter::parseScheme("size,time"), LogWriter::kRotateSize | LogWriter::kRotateTime);
  EXPECT_EQ(LogWriter::parseScheme("init,none,size"), LogWriter::kRotateSize);
  EXPECT_EQ(LogWriter::parseScheme("daily"), 0u);
}

TEST(LogWriterTest, TimeRotationHappensAtTheBoundaries) {
  LogCapture capture;
  LogWriter& writer = capture.writer();
  writer.setScheme(LogWriter::kRotateTime);
  writer.setRotationTime(TimeSpan(2));
  ASSERT_TRUE(writer.writeLine("start"));
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        writer.writeLine("tick");
        return rotatedFiles(capture).size() >= 2;
      },
      std::chrono::seconds(15)));
  EXPECT_TRUE(rotatedContain(capture, "Rotate condition(s): Time "));
}

TEST(LogWriterTest, ConcurrentLoggersLoseNothingAcrossRotations) {
  LogCapture capture;
  capture.writer().setScheme(LogWriter::kRotateSize);
  capture.writer().setRotationSize(1);
  setDebugLevel(5);
  constexpr int kThreads = 8;
  constexpr int kLines = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&capture, t] {
      LoggerUnit logger(capture.sender(), kModuleTarnwick);
      for (int i = 0; i < kLines; ++i) logger.debug(4, "worker %i line %i end", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::map<int, std::string> rotated = rotatedFiles(capture);
  ASSERT_GE(rotated.size(), 5u);
  int expected = 0;
  for (const auto& [counter, path] : rotated) EXPECT_EQ(counter, expected++);
  std::vector<std::string> files;
  for (const auto& [counter, path] : rotated) files.push_back(path);
  files.push_back(capture.logPath());

  std::regex line(R"(debug-4  \S+ \(2\.08\)    worker (\d) line (\d+) end)");
  std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kLines, 0));
  for (const std::string& path : files) {
    std::istringstream content(readFile(path));
    std::string text;
    while (std::getline(content, text)) {
      if (text.find("worker ") == std::string::npos) continue;
      ASSERT_EQ(text.back(), '\r') << text;
      text.pop_back();
      std::smatch match;
      ASSERT_TRUE(std::regex_match(text, match, line)) << "torn or mixed: " << text;
      ++seen[std::stoi(match[1])][std::stoi(match[2])];
    }
  }
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kLines; ++i) ASSERT_EQ(seen[t][i], 1) << t << "/" << i;
  }
}

}  // namespace
}  // namespace Vantor
