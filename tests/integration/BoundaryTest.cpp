// Records at the agent's boundaries: a stall longer than a receiver's pass, a stop in the
// middle of a burst, a driver that dies and comes back, a delivery just before an end, process
// trees the agent found running, fork storms, and programs whose first thread ends first.
// Every process is recorded once, with its true status, whatever happened to the agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <thread>

#include "integration/Harness.h"
#include "support/TempDir.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

constexpr char kConnected[] = "Kernel driver tracer successfully connected to the kernel driver.";

// The records whose exit status is status, whatever they are named: processes that ran while
// the agent was held up are gone before anything could read their names. The statuses the
// tests use are their own (no other test's process ends with them).
std::size_t withStatus(const std::vector<std::string>& files, int status) {
  std::size_t count = 0;
  for (const UsageRecord& record : allRecords(files)) {
    count += record.exitCode() == std::to_string(status) ? 1 : 0;
  }
  return count;
}

// The process events the agent's log says were lost, summed.
std::size_t eventsLost(const Installation& installation) {
  static const std::regex told(R"((\d+) process events were lost)");
  return static_cast<std::size_t>(sumOfMatches(installation.log(), told));
}

// Runs program with arguments count times in a row, each waited for.
void runTimes(const std::string& program, const std::vector<std::string>& arguments, int count) {
  for (int i = 0; i < count; ++i) run(program, arguments);
}

// Asks for deliveries until the delivered files hold count records with status.
bool deliveredWithStatus(const Installation& installation, int status, std::size_t count) {
  return waitUntil(
      [&] {
        vantorctl("send TARNWICKDUMP");
        return withStatus(dataFiles(installation, ".data"), status) >= count;
      },
      120s);
}

// vantor-procdrv serving the installation, once it listens on its device (the file is there
// before it does).
std::unique_ptr<AgentProcess> startVantorProcdrv(const Installation&) {
  auto driver = std::make_unique<AgentProcess>(std::vector<std::string>{},
                                               std::vector<std::string>{}, VANTOR_PROCDRV_PATH);
  EXPECT_TRUE(
      waitUntil([&] { return driver->errorOutput().find("serving ") != std::string::npos; }, 10s))
      << driver->errorOutput();
  return driver;
}

bool logHas(const Installation& installation, const std::string& line, std::size_t times = 1) {
  return waitUntil([&] { return countOf(installation.log(), line) >= times; }, 30s);
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// The first records (a process's own, not a delivery's continuation) of a program.
std::size_t runsOf(const std::vector<std::string>& files, const std::string& path) {
  std::size_t runs = 0;
  for (const UsageRecord& record : allRecords(files)) {
    runs += record.fields[6] + record.file() == path && record.second.rfind("1:", 0) == 0;
  }
  return runs;
}

TEST(BoundaryTest, EndsThatPiledUpWhileTheAgentStoodStillAreEachRecordedOnceWithTheirStatus) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 2);
  std::string probe = copyOf(installation, EXIT_WITH_PATH, "stall-probe");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // More ends than one pass of the receiver held before.
  constexpr int kRuns = 5000;
  ::kill(agent.pid(), SIGSTOP);
  runTimes(probe, {"213"}, kRuns);
  ::kill(agent.pid(), SIGCONT);
  // Every end is recorded, or counted lost (a busy machine may overflow the kernel's buffer
  // meanwhile) and repaired: never dropped unsaid.
  EXPECT_TRUE(waitUntil(
      [&] {
        vantorctl("send TARNWICKDUMP");
        return withStatus(dataFiles(installation, ".data"), 213) + eventsLost(installation) >=
               static_cast<std::size_t>(kRuns);
      },
      120s));
  // Further deliveries find none of them still running.
  vantorctl("send TARNWICKDUMP");
  vantorctl("send TARNWICKDUMP");
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::size_t recorded = withStatus(files, 213);
  EXPECT_LE(recorded, static_cast<std::size_t>(kRuns));
  EXPECT_GE(recorded + eventsLost(installation), static_cast<std::size_t>(kRuns));
  for (const UsageRecord& record : recordsOf(files, "stall-probe")) {
    EXPECT_EQ(record.exitCode(), "213") << record.fields[6];
  }
}

TEST(BoundaryTest, AProcessThatEndsJustBeforeADeliveryIsRecordedOnceWithItsStatus) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 3);
  std::string probe = copyOf(installation, EXIT_WITH_PATH, "ends-before-delivery");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  constexpr int kRuns = 5;
  for (int i = 0; i < kRuns; ++i) {
    run(probe, {"after", "300", "43"});
    vantorctl("send TARNWICKDUMP");
  }
  // One that has ended, and many deliveries after it.
  run(probe, {"after", "1000", "44"});
  for (int i = 0; i < 10; ++i) vantorctl("send TARNWICKDUMP");
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> records = recordsOf(files, "ends-before-delivery");
  std::map<std::string, int> statuses;
  for (const UsageRecord& record : records) {
    ++statuses[record.exitCode()];
    EXPECT_EQ(record.second.substr(0, 2), "1:") << "a process's only record is its first";
  }
  EXPECT_EQ(statuses, (std::map<std::string, int>{{"43", kRuns}, {"44", 1}}));
}

TEST(BoundaryTest, AProcessTreeGivesTheSameRecordsWhetherItRanBeforeTheAgentOrAfter) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 3);
  std::string before = copyOf(installation, EXIT_WITH_PATH, "tree-before");
  std::string after = copyOf(installation, EXIT_WITH_PATH, "tree-after");
  // A parent whose two children never start a program of their own, as a shell with
  // subshells, or a server with its workers.
  auto startTree = [](const std::string& program) {
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("fork-children"),
                    const_cast<char*>("2"), nullptr};
    pid_t pid = 0;
    EXPECT_EQ(::posix_spawn(&pid, program.c_str(), nullptr, &attributes, argv, environ), 0);
    posix_spawnattr_destroy(&attributes);
    return pid;
  };
  auto delivered = [&](const std::string& path) {
    return waitUntil(
        [&] {
          vantorctl("send TARNWICKDUMP");
          return runsOf(dataFiles(installation, ".data"), path) > 0;
        },
        30s);
  };
  pid_t first = startTree(before);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  ASSERT_TRUE(delivered(before)) << "the start-up poll finds the tree that runs";
  pid_t second = startTree(after);
  ASSERT_TRUE(delivered(after));
  for (pid_t tree : {first, second}) {
    ::kill(-tree, SIGTERM);
    ::waitpid(tree, nullptr, 0);
  }
  std::vector<std::string> files = stopAndCollect(installation, agent);
  EXPECT_EQ(runsOf(files, before), 1u);
  EXPECT_EQ(runsOf(files, after), 1u);
}

TEST(BoundaryTest, AProgramWhoseFirstThreadEndsFirstEndsWithItsLastThread) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 3);
  std::unique_ptr<AgentProcess> driver = startVantorProcdrv(installation);
  std::string probe = copyOf(installation, EXIT_WITH_PATH, "first-thread-ends");
  std::string load = copyOf(installation, EXIT_WITH_PATH, "beside-first-thread");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  std::atomic<bool> loading{true};
  std::thread beside([&] {
    while (loading.load()) run(load, {"0"});
  });
  // Each ends its first thread at once; another ends the process a second later.
  constexpr int kPrograms = 40;
  std::vector<pid_t> programs;
  for (int i = 0; i < kPrograms; ++i) {
    char* argv[] = {const_cast<char*>(probe.c_str()), const_cast<char*>("thread-exit"),
                    const_cast<char*>("207"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, probe.c_str(), nullptr, nullptr, argv, environ), 0);
    programs.push_back(pid);
  }
  for (pid_t pid : programs) ::waitpid(pid, nullptr, 0);
  loading.store(false);
  beside.join();
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> records = recordsOf(files, "first-thread-ends");
  EXPECT_EQ(records.size(), static_cast<std::size_t>(kPrograms));
  for (const UsageRecord& record : records) {
    EXPECT_EQ(record.exitCode(), "207");
    EXPECT_GE(record.duration(), 1) << "ended with its first thread";
  }
  ::kill(driver->pid(), SIGTERM);
  EXPECT_EQ(driver->exitStatus(10s), 0);
}

TEST(BoundaryTest, AStopInTheMiddleOfABurstRecordsWhatTheDriverSawBeforeIt) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 2);
  std::unique_ptr<AgentProcess> driver = startVantorProcdrv(installation);
  std::string background = copyOf(installation, EXIT_WITH_PATH, "burst-background");
  std::string foreground = copyOf(installation, EXIT_WITH_PATH, "burst-foreground");
  auto agent = std::make_unique<AgentProcess>();
  ASSERT_TRUE(tracing(installation)) << installation.log();
  std::thread beside([&] { runTimes(background, {"0"}, 4000); });
  runTimes(foreground, {"211"}, 1000);
  std::vector<std::string> files = stopAndCollect(installation, *agent);
  beside.join();
  EXPECT_EQ(withStatus(files, 211), 1000u);

  // Held up during the whole burst, and stopped as soon as it goes on.
  std::size_t before = files.size();
  agent = std::make_unique<AgentProcess>();
  ASSERT_TRUE(logHas(installation, kConnected, 2)) << installation.log();
  ::kill(agent->pid(), SIGSTOP);
  runTimes(foreground, {"212"}, 3000);
  ::kill(agent->pid(), SIGCONT);
  files = stopAndCollect(installation, *agent);
  EXPECT_GT(files.size(), before);
  EXPECT_EQ(withStatus(files, 212), 3000u);

  ::kill(driver->pid(), SIGTERM);
  ASSERT_EQ(driver->exitStatus(10s), 0);
  // Whatever the driver could not hand over it says: the agent took all it had before stops.
  EXPECT_EQ(countOf(driver->errorOutput(), " 0 dropped,"), 1u) << driver->errorOutput();
}

TEST(BoundaryTest, ADriverThatDiesIsPolledAroundAndFoundAgainWhenItComesBack) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 3);
  std::unique_ptr<AgentProcess> driver = startVantorProcdrv(installation);
  std::string sleeper = copyOf(installation, "/bin/sleep", "runs-while-driver-gone");
  std::string probe = copyOf(installation, EXIT_WITH_PATH, "after-driver-back");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  ::kill(driver->pid(), SIGKILL);
  driver->exitStatus(10s);
  ASSERT_TRUE(logHas(installation, "The kernel driver was lost")) << installation.log();
  // Meanwhile polls meter what starts.
  pid_t gap = spawn(sleeper, "600");
  EXPECT_TRUE(waitUntil(
      [&] {
        vantorctl("send TARNWICKDUMP");
        return !recordsOf(dataFiles(installation, ".data"), "runs-while-driver-gone").empty();
      },
      30s));
  driver = startVantorProcdrv(installation);
  ASSERT_TRUE(logHas(installation, "The kernel driver is back")) << installation.log();
  // Its records carry the status only the driver can tell.
  run(probe, {"209"});
  EXPECT_TRUE(deliveredWithStatus(installation, 209, 1));
  EXPECT_TRUE(agent.running());
  ::kill(gap, SIGKILL);
  ::waitpid(gap, nullptr, 0);
  stopAndCollect(installation, agent);
  ::kill(driver->pid(), SIGTERM);
  EXPECT_EQ(driver->exitStatus(10s), 0);
}

TEST(BoundaryTest, ADriverThatHangsWhenTheAgentStartsIsWaitedForNotFatal) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 3);
  std::unique_ptr<AgentProcess> driver = startVantorProcdrv(installation);
  std::string probe = copyOf(installation, EXIT_WITH_PATH, "after-driver-hung");
  ::kill(driver->pid(), SIGSTOP);
  AgentProcess agent;
  ASSERT_TRUE(logHas(installation, "The kernel driver was lost")) << installation.log();
  ::kill(driver->pid(), SIGCONT);
  ASSERT_TRUE(logHas(installation, "The kernel driver is back")) << installation.log();
  run(probe, {"206"});
  EXPECT_TRUE(deliveredWithStatus(installation, 206, 1));
  EXPECT_TRUE(agent.running());
  stopAndCollect(installation, agent);
  ::kill(driver->pid(), SIGTERM);
  EXPECT_EQ(driver->exitStatus(10s), 0);
}

TEST(BoundaryTest, ForksThatStartNoProgramCostTheAgentNoMemory) {
#ifdef TARNWICK_SANITIZED
  GTEST_SKIP() << "a sanitizer's allocator keeps freed memory";
#endif
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 2);
  std::unique_ptr<AgentProcess> driver = startVantorProcdrv(installation);
  std::string forker = copyOf(installation, EXIT_WITH_PATH, "fork-storm");
  std::string marker = copyOf(installation, EXIT_WITH_PATH, "fork-storm-marker");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // Warmed up: what a first burst allocates for good is not growth.
  run(forker, {"forks", "2000"});
  run(marker, {"208"});
  ASSERT_TRUE(deliveredWithStatus(installation, 208, 1));
  long before = residentKilobytes(agent.pid());
  run(forker, {"forks", "40000"});
  // The driver hands over in order: once this is recorded, every fork's end was taken.
  run(marker, {"208"});
  ASSERT_TRUE(deliveredWithStatus(installation, 208, 2));
  long after = residentKilobytes(agent.pid());
  std::printf("resident: %ld kB before, %ld kB after 40000 forks\n", before, after);
  EXPECT_LT(after - before, 4096) << before << " kB before, " << after << " kB after";
  stopAndCollect(installation, agent);
  ::kill(driver->pid(), SIGTERM);
  EXPECT_EQ(driver->exitStatus(10s), 0);
}

}  // namespace
}  // namespace Vantor::integration
