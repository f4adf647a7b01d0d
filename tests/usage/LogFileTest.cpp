#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "logging/MessageCatalogue.h"
#include "platform/Env.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"
#include "usage/DataStreams.h"
#include "usage/LogFile.h"

namespace Vantor {
namespace {

using testing::LogCapture;
using testing::readFile;

std::vector<std::string> filesIn(const std::string& directory) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(directory)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class LogFileTest : public ::testing::Test {
 protected:
  LogFileTest() : work_(capture_.dir().file("work-dir") + "/") {
    std::filesystem::create_directory(work_);
    setDebugLevel(5);
    setSeverityThreshold(0);
    loadMessages(testing::systemEnv(), TARNWICK_SOURCE_DIR "/etc", "agent");
  }
  ~LogFileTest() override { clearMessages(); }
  LogCapture capture_;
  std::string work_;  // its name holds a '-', which must not confuse the prefix
};

TEST_F(LogFileTest, RecordsGoToAMakeFileThatEndsAsData) {
  LogFile stream(testing::systemEnv(), capture_.sender());
  stream.setName(work_ + "ProcessLog");
  std::regex name(R"(ProcessLog-(\d+)-(\d+)-(\d+)\.make)");
  std::smatch match;
  std::string first = std::filesystem::path(stream.name()).filename().string();
  ASSERT_TRUE(std::regex_match(first, match, name)) << first;
  EXPECT_EQ(std::stoul(match[2]), testing::systemEnv().processId());
  unsigned long counter = std::stoul(match[3]);
  EXPECT_TRUE(filesIn(work_).empty()) << "nothing on disk before the first record";

  ASSERT_TRUE(stream.writeRecord("first record"));
  // In the kernel at once, under the safe-update name of the file layer.
  EXPECT_EQ(readFile(work_ + first + ".tmp"), "first record\n");
  ASSERT_TRUE(stream.write("second"));
  ASSERT_TRUE(stream.newLine());
  stream.end();
  std::string delivered = first;
  delivered.replace(delivered.find("make"), 4, "data");
  EXPECT_EQ(filesIn(work_), std::vector<std::string>{delivered});
  EXPECT_EQ(readFile(work_ + delivered), "first record\nsecond\n");

  std::string next = std::filesystem::path(stream.name()).filename().string();
  ASSERT_TRUE(std::regex_match(next, match, name));
  EXPECT_GT(std::stoul(match[3]), counter);
  stream.end();  // an idle stream makes no empty file
  EXPECT_EQ(filesIn(work_).size(), 1u);
  EXPECT_TRUE(capture_.contains("LogFile: Ended file \"" + work_ + first + "\"."));
}

TEST_F(LogFileTest, AFailedRenameKeepsTheMakeFileAndMovesOn) {
  LogFile stream(testing::systemEnv(), capture_.sender());
  stream.setName(work_ + "ModuleLog");
  std::string make = stream.name();
  std::string data = make;
  data.replace(data.rfind("make"), 4, "data");
  std::filesystem::create_directories(data + "/occupied");
  ASSERT_TRUE(stream.writeRecord("kept"));
  stream.end();
  EXPECT_EQ(readFile(make), "kept\n");
  EXPECT_TRUE(capture_.contains("WARNING  "));
  EXPECT_TRUE(capture_.contains("Could not rename the data file \"" + make + "\""));
  ASSERT_TRUE(stream.writeRecord("later"));
  EXPECT_NE(stream.name(), make);
}

TEST_F(LogFileTest, ADestroyedStreamDeliversItsFile) {
  {
    LogFile stream(testing::systemEnv(), capture_.sender());
    stream.setName(work_ + "PerfMonLog");
    stream.writeRecord("last words");
  }
  std::vector<std::string> files = filesIn(work_);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_NE(files[0].find(".data"), std::string::npos);
}

TEST_F(LogFileTest, TwoStreamsEndedInOneSecondGetDifferentNames) {
  DataStreams streams(testing::systemEnv(), capture_.sender());
  streams.registerLogFile(work_ + "ProcessLog", "process", TimeSpan(0), false, nullptr);
  streams.registerLogFile(work_ + "ProcessLog", "module", TimeSpan(0), false, nullptr);
  streams.getLogFile("process")->writeRecord("p");
  streams.getLogFile("module")->writeRecord("m");
  streams.deliverAll(true);
  EXPECT_EQ(filesIn(work_).size(), 2u);
}

TEST_F(LogFileTest, RecordsWrittenTogetherReachTheFileAtTheScopesEndAndAnEndedFileKeepsThem) {
  auto stream = std::make_shared<LogFile>(testing::systemEnv(), capture_.sender());
  stream->setName(work_ + "ProcessLog");
  std::string first = std::filesystem::path(stream->name()).filename().string();
  {
    LogFile::FlushTogether together;
    ASSERT_TRUE(stream->writeRecord("one"));
    ASSERT_TRUE(stream->writeRecord("two"));
    // Ended (delivered) within the scope: its records go with it, none to the next file.
    stream->end();
    ASSERT_TRUE(stream->writeRecord("three"));
  }
  std::string delivered = first;
  delivered.replace(delivered.find("make"), 4, "data");
  EXPECT_EQ(readFile(work_ + delivered), "one\ntwo\n");
  std::string second = std::filesystem::path(stream->name()).filename().string();
  EXPECT_EQ(readFile(work_ + second + ".tmp"), "three\n");
  // Outside a scope, in the kernel at once again.
  ASSERT_TRUE(stream->writeRecord("four"));
  EXPECT_EQ(readFile(work_ + second + ".tmp"), "three\nfour\n");
  EXPECT_EQ(stream->recordsWritten(), 4u);
  stream->end();
}

}  // namespace
}  // namespace Vantor
