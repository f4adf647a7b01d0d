// Performance records of real processes: a program with a known appetite for processor time
// and memory is measured by a rule, and its records say what the kernel counted for it.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "integration/Harness.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::readFile, testing::waitUntil, testing::writeFile;

// The monitor on, reading every second and delivering its records every deliverySeconds;
// processes learnt from kernel events unless polled. Only burn_and_hold is measured.
void measure(const Installation& installation, int deliverySeconds, bool polled = false) {
  if (polled) {
    meterEverySecond(installation);
  } else {
    meterByEvents(installation);
  }
  installation.editConf("performance-monitor(Bool) = false", "performance-monitor(Bool) = true");
  installation.editConf("interval(TimeSpan) = PT5S", "interval(TimeSpan) = PT1S");
  installation.editConf(
      "performance-monitor(TimeSpan) = PT1H",
      "performance-monitor(TimeSpan) = PT" + std::to_string(deliverySeconds) + "S");
  writeFile(installation.confDir() + "Tarnwick_ProcessRules.conf", "# measured\nBURN_AND_*\n");
}

// Runs burn_and_hold, to its end unless told not to wait; returns its pid, and its report in
// the file out.
pid_t burnAndHold(const std::string& out, double seconds, int megabytes, bool wait = true) {
  std::string burn = std::to_string(seconds);
  std::string hold = std::to_string(megabytes);
  const char* argv[] = {BURN_AND_HOLD_PATH, out.c_str(), burn.c_str(), hold.c_str(), nullptr};
  pid_t burner = 0;
  EXPECT_EQ(::posix_spawn(&burner, BURN_AND_HOLD_PATH, nullptr, nullptr,
                          const_cast<char* const*>(argv), environ),
            0);
  int status = -1;
  if (wait) ::waitpid(burner, &status, 0);
  EXPECT_TRUE(!wait || status == 0);
  return burner;
}

// Whether the agent has written the usage record of the process, after its other records.
bool recorded(const Installation& installation, pid_t pid) {
  return waitUntil(
      [&] {
        return countOf(installation.log(), "logProcessData: Writing \"burn_and_hold\" (" +
                                               std::to_string(pid) + ")") > 0;
      },
      60s);
}

TEST(PerformanceTest, TheRecordsShowTheProcessorTimeAndMemoryTheKernelCounted) {
  if (::geteuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  measure(installation, 5);
  // As a site writes it: a name the object lacks, names in any case, blanks around the bar.
  writeFile(installation.confDir() + "Tarnwick_Counters.conf",
            "Bogus Counter | max\n"
            "elapsed time|abs\n"
            "  % PROCESSOR TIME   |  avg  \n"
            "private bytes | avg\n"
            "IO Data Bytes/sec | avg\n");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();

  constexpr double kSeconds = 15;
  constexpr int kMegabytes = 160;
  std::string out = installation.dir().file("burned");
  pid_t burner = burnAndHold(out, kSeconds, kMegabytes, false);
  // The usage records are delivered meanwhile, which starts a new usage interval.
  waitForMore(installation, "THREAD PerformanceMonitor: Processing took", 3);
  vantorctl("send TARNWICKDUMP");
  int status = -1;
  ::waitpid(burner, &status, 0);
  ASSERT_EQ(status, 0);
  double counted = 0;
  double privateBytes = 0;
  std::istringstream(readFile(out)) >> counted >> privateBytes;
  ASSERT_GE(counted, kSeconds);
  ASSERT_GE(privateBytes, kMegabytes << 20);
  EXPECT_TRUE(recorded(installation, burner));
  std::vector<std::string> files = stopAndCollect(installation, agent);

  std::vector<PerformanceRecord> records;
  for (PerformanceRecord& record : performanceRecords(files)) {
    if (record.file() == "burn_and_hold") records.push_back(std::move(record));
  }
  std::vector<UsageRecord> usage = recordsOf(files, "burn_and_hold");
  ASSERT_EQ(usage.size(), 2u);
  // A record at each delivery while it ran (they fall on a ten-second grid), each from the
  // last, and one at its end.
  ASSERT_GE(records.size(), 2u);
  double processorSeconds = 0;
  double elapsed = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const PerformanceRecord& record = records[i];
    EXPECT_TRUE(record.start == usage[0].start || record.start == usage[1].start);
    EXPECT_EQ(record.exitCode(), i + 1 < records.size() ? "none" : "0");
    EXPECT_EQ(record.fields[1], usage[0].user());
    EXPECT_EQ(record.fields[8], usage[0].fields[7]);  // the time class
    processorSeconds += record.processorSeconds();
    elapsed += record.elapsed();
    // Every record after the first was read with the memory held throughout (one of less than
    // two seconds may hold no reading: its whole seconds can stand for a moment, as a delivery
    // just before the end makes, and the monitor reads once a second). Its share
    // of a processor is a percentage, near a whole one while burning alone: the kernel counts
    // in ticks of 10 ms, so a reading over a second is good to one percent. (The first record
    // also holds the reading over the first 50 ms, good to a fifth.)
    if (i > 0 && record.elapsed() >= 2) {
      EXPECT_NEAR(record.memory(), privateBytes, privateBytes / 10) << i;
      EXPECT_GT(record.figures[3], 30) << i;
      EXPECT_LE(record.figures[3], 102) << i;
    }
  }
  EXPECT_EQ(elapsed, static_cast<double>(usage[0].duration() + usage[1].duration()));
  EXPECT_NEAR(processorSeconds, counted, counted / 10);
}

TEST(PerformanceTest, ACounterListThatCannotBeReadStopsTheStartAndTheRulesChooseWhoIsMeasured) {
  if (::geteuid() != 0) GTEST_SKIP() << "the process connector needs root";
  {
    Installation installation;
    measure(installation, 3600);
    std::filesystem::remove(installation.confDir() + "Tarnwick_Counters.conf");
    AgentProcess agent;
    EXPECT_NE(agent.exitStatus(20s), 0);
    EXPECT_NE(installation.log().find("Tarnwick_Counters.conf\" could not be read"),
              std::string::npos)
        << installation.log();
  }
  // The shipped counter list; a rule for another program: this one is metered, not measured.
  Installation installation;
  measure(installation, 3600);
  writeFile(installation.confDir() + "Tarnwick_ProcessRules.conf", "other_program\n");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  pid_t burner = burnAndHold(installation.dir().file("burned"), 0.5, 1);
  EXPECT_TRUE(recorded(installation, burner));
  std::vector<std::string> files = stopAndCollect(installation, agent);
  EXPECT_EQ(recordsOf(files, "burn_and_hold").size(), 1u);
  EXPECT_TRUE(performanceRecords(files).empty());
  EXPECT_EQ(installation.log().find("Adding counters for PID=" + std::to_string(burner)),
            std::string::npos);
}

TEST(PerformanceTest, AReconfigurationRecordsWhatWasMeasuredAndMeasuresWhatRunsFromThen) {
  if (::geteuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  measure(installation, 3600);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  pid_t burner = burnAndHold(installation.dir().file("burned"), 6, 1, false);
  waitForMore(installation, "THREAD PerformanceMonitor: Processing took", 3);
  auto reconfigure = [&](const std::string& from, const std::string& to, int times) {
    installation.editConf("performance-monitor(Bool) = " + from,
                          "performance-monitor(Bool) = " + to);
    ::kill(agent.pid(), SIGHUP);
    EXPECT_TRUE(tracing(installation, times)) << installation.log();
  };
  reconfigure("true", "false", 2);
  reconfigure("false", "true", 3);
  int status = -1;
  ::waitpid(burner, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(recorded(installation, burner));
  std::vector<std::string> files = stopAndCollect(installation, agent);
  // A record up to the first reconfiguration, while it ran; one from the second to its end.
  std::vector<PerformanceRecord> records = performanceRecords(files);
  std::vector<UsageRecord> usage = recordsOf(files, "burn_and_hold");
  ASSERT_EQ(records.size(), 2u);
  ASSERT_EQ(usage.size(), 1u);
  EXPECT_EQ(records[0].exitCode(), "none");
  EXPECT_EQ(records[1].exitCode(), "0");
  EXPECT_GE(records[0].elapsed(), 1);
  EXPECT_GT(records[0].processorSeconds(), 0);
  EXPECT_GE(records[1].elapsed(), 1);
  EXPECT_LE(records[0].elapsed() + records[1].elapsed(), usage[0].duration());
}

TEST(PerformanceTest, AProgramThatRunsAnotherIsMeteredAndMeasuredAsEachWhenPolled) {
  Installation installation;
  measure(installation, 5, true);
  writeFile(installation.confDir() + "Tarnwick_ProcessRules.conf", "perf-*\n");
  std::string shell = installation.dir().file("perf-shell");
  std::string second = installation.dir().file("perf-second");
  std::filesystem::copy_file("/bin/dash", shell);
  std::filesystem::copy_file("/bin/sleep", second);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  // The shell runs for a few polls, then the same process runs the other program.
  pid_t child = 0;
  std::string script = "/bin/sleep 2.5; exec " + second + " 2.5";
  const char* argv[] = {shell.c_str(), "-c", script.c_str(), nullptr};
  ASSERT_EQ(
      ::posix_spawn(&child, shell.c_str(), nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(waitUntil(
      [&] { return !recordsOf(dataFiles(installation, ".make.tmp"), "perf-second").empty(); },
      60s));
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> shells = recordsOf(files, "perf-shell");
  std::vector<UsageRecord> seconds = recordsOf(files, "perf-second");
  ASSERT_EQ(shells.size(), 1u);
  ASSERT_EQ(seconds.size(), 1u);
  EXPECT_EQ(shells[0].exitCode(), "none");  // the process went on
  EXPECT_EQ(seconds[0].exitCode(), "0");
  // Its records, delivered every ten seconds meanwhile, add up to its usage; no second is
  // counted for both programs.
  EXPECT_LE(shells[0].start + shells[0].duration(), seconds[0].start);
  std::map<std::string, std::vector<PerformanceRecord>> measured;
  for (PerformanceRecord& record : performanceRecords(files)) {
    measured[record.file()].push_back(std::move(record));
  }
  for (const UsageRecord& usage : {shells[0], seconds[0]}) {
    const std::vector<PerformanceRecord>& records = measured[usage.file()];
    ASSERT_FALSE(records.empty()) << usage.file();
    double elapsed = 0;
    for (const PerformanceRecord& record : records) elapsed += record.elapsed();
    EXPECT_EQ(elapsed, usage.duration()) << usage.file();
    EXPECT_EQ(records.back().exitCode(), usage.exitCode());
  }
}

}  // namespace
}  // namespace Vantor::integration
