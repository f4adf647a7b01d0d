#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "support/SystemEnv.h"
#include "support/TempDir.h"
#include "usage/Process.h"

extern char** environ;

namespace Vantor {
namespace {

pid_t spawnSleep() {
  pid_t child = 0;
  char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("30"), nullptr};
  EXPECT_EQ(::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ), 0);
  return child;
}

TEST(ProcessTest, ModulesThatGoAwayAreReportedWithTheirTimes) {
  pid_t child = spawnSleep();
  Process process(testing::systemEnv(), static_cast<std::uint32_t>(child), nullptr, true);
  ASSERT_EQ(process.state(), ProcessState::Started);
  std::vector<std::string> names;
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        process.getModules(names);
        return std::find(names.begin(), names.end(), "libc.so.6") != names.end();
      },
      std::chrono::seconds(5)));
  EXPECT_EQ(names.front(), "sleep");
  EXPECT_TRUE(process.updateModules().empty());  // the first call only fills the table

  std::int64_t before = DateTime().getValue();
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  std::vector<ModuleRecord> ended = process.updateModules();
  auto libc = std::find_if(ended.begin(), ended.end(),
                           [](const ModuleRecord& m) { return m.name == "libc.so.6"; });
  ASSERT_NE(libc, ended.end());
  EXPECT_LE(libc->firstSeen, before);
  EXPECT_GE(libc->lastSeen, before);
  EXPECT_TRUE(std::none_of(ended.begin(), ended.end(),
                           [](const ModuleRecord& m) { return m.name == "sleep"; }));
  EXPECT_TRUE(process.updateModules().empty());
  EXPECT_EQ(process.getExitCode(), 0u);
}

TEST(ProcessTest, UsersExitCodesAndMarkers) {
  pid_t child = spawnSleep();
  Process process(testing::systemEnv(), static_cast<std::uint32_t>(child), nullptr, true);
  EXPECT_EQ(process.getExitCode(), Process::kStillActive);
  EXPECT_TRUE(process.isRunning());
  EXPECT_FALSE(Process::isUnknown(process.userName()));
  EXPECT_EQ(process.fullUserName(), "\\\\" + process.domain() + "\\" + process.userName());
  ASSERT_TRUE(process.getUserFromSid("S-1-22-1-0"));
  EXPECT_EQ(process.userName(), "root");
  EXPECT_FALSE(process.getUserFromSid("S-1-5-21-1-2-3-500"));
  EXPECT_EQ(process.userName(), "root");  // unchanged by a failed lookup

  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(process.isRunning());
  EXPECT_EQ(process.getExitCode(), 0u);
  process.refreshInfo();
  EXPECT_EQ(process.executable(), Process::kLost);
  process.invalidate();
  EXPECT_EQ(process.getExitCode(), 0u);  // no handle: not asked

  Process never(testing::systemEnv(), 4194303, nullptr,
                true);  // above any pid the kernel hands out
  EXPECT_EQ(never.executable(), Process::kLost);
  EXPECT_EQ(never.state(), ProcessState::Unknown);
  EXPECT_TRUE(Process::isUnknown(never.userName()));
  Process ended(testing::systemEnv(), 4194303, nullptr, false);
  EXPECT_EQ(ended.state(), ProcessState::Ended);
  EXPECT_TRUE(Process::isUnknown(ended.executable()));
}

}  // namespace
}  // namespace Vantor
