// Metering from kernel process events: every process of a burst is recorded once with its
// exit status, lost events are counted and repaired, processes older than the agent are
// found, and without the right to listen the agent polls instead.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "integration/Harness.h"
#include "support/TempDir.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

bool mayListen() { return ::getuid() == 0; }

TEST(KernelEventsTest, EveryProcessOfABurstHasOneRecordWithItsExitStatusAndPath) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 3);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  expectEachMeteredOnce(installation, agent, 2000);
}

// Packets the kernel dropped for the agent's netlink sockets: all of them fell on its socket of
// all events (its socket of program starts has a buffer too large to overflow here).
long long kernelDrops(pid_t agent) {
  std::set<std::string> inodes;
  std::string fds = "/proc/" + std::to_string(agent) + "/fd";
  for (const auto& entry : std::filesystem::directory_iterator(fds)) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(entry.path(), error).string();
    if (target.starts_with("socket:[")) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::ifstream table("/proc/net/netlink");
  std::string line;
  std::getline(table, line);
  long long drops = 0;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string sk, eth, port, groups, rmem, wmem, dump, locks, dropped, inode;
    fields >> sk >> eth >> port >> groups >> rmem >> wmem >> dump >> locks >> dropped >> inode;
    if (eth == "11" && inodes.count(inode) != 0) drops += std::stoll(dropped);
  }
  return drops;
}

void eventsOnEveryProcessor() {
  for (int cpu = 0; cpu < static_cast<int>(std::thread::hardware_concurrency()); ++cpu) {
    for (int i = 0; i < 3; ++i) run("/usr/bin/taskset", {"-c", std::to_string(cpu), "true"});
  }
}

long long countedLoss(const std::string& log) {
  static const std::regex total(R"(\((\d+) since the session began)");
  long long last = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), total); it != std::sregex_iterator();
       ++it) {
    last = std::stoll((*it)[1]);
  }
  return last;
}

TEST(KernelEventsTest, LostEventsAreCountedExactlyAndTheRescanFindsWhatStillRuns) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 2);
  writeFile(installation.confFile(),
            withinTarnwickSection(readFile(installation.confFile()),
                                  "testing() = \"\" { trace-buffer(Integer) = 8 {} }"));
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-survivor");
  std::string program = copyOf(installation, EXIT_WITH_PATH, "exit_with");
  AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // A gap shows between two events of one processor: the agent sees one of each first.
  eventsOnEveryProcessor();
  std::this_thread::sleep_for(200ms);
  // A burst the small buffer cannot hold, with survivors among the short ones.
  std::vector<pid_t> survivors;
  for (int i = 0; i < 1500; ++i) {
    if (i % 15 == 0) {
      survivors.push_back(spawn(sleeper, "600"));
    } else {
      run(program, {"0"});
    }
  }
  // Every drop at the socket is a gap in the sequence. A gap can also be an event the kernel
  // failed to send at all (it allocates without waiting), which no socket counts: a few more.
  long long drops = -1;
  long long counted = -1;
  EXPECT_TRUE(waitUntil(
      [&] {
        drops = kernelDrops(agent.pid());
        counted = countedLoss(installation.log());
        if (drops > 0 && counted >= drops && counted <= drops + drops / 100) return true;
        // Later events on every processor show the gaps left at the end of the burst.
        eventsOnEveryProcessor();
        return false;
      },
      20s))
      << "kernel dropped " << drops << ", agent counted " << counted;
  EXPECT_NE(installation.log().find("the process table is read again"), std::string::npos);
  std::printf("kernel dropped %lld events, the agent counted %lld\n", drops, counted);
  // The rescan puts every survivor into the map and ends whatever lost its end.
  EXPECT_TRUE(rescanFoundEach(installation, survivors.size()));
  for (pid_t survivor : survivors) ::kill(survivor, SIGKILL);
  for (pid_t survivor : survivors) ::waitpid(survivor, nullptr, 0);
  stopAndCollect(installation, agent);
}

TEST(KernelEventsTest, ProcessesOlderThanTheAgentAreFoundAndTheirEndsSeen) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation);
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-elder");
  pid_t elder = spawn(sleeper, "600");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  ASSERT_TRUE(waitUntil(
      [&] { return installation.log().find("Application \"metered-elder\"") != std::string::npos; },
      20s));
  ::kill(elder, SIGTERM);
  ::waitpid(elder, nullptr, 0);
  EXPECT_TRUE(waitUntil(
      [&] { return !recordsOf(dataFiles(installation, ".make.tmp"), "metered-elder").empty(); },
      10s));
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, agent), "metered-elder");
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].exitCode(), std::to_string(128 + SIGTERM));
}

TEST(KernelEventsTest, AProcessThatRunsAnotherProgramIsRecordedAsEach) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation);
  std::string shell = copyOf(installation, "/bin/dash", "metered-shell");
  std::string second = copyOf(installation, "/bin/sleep", "metered-second");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // The shell runs the other program once the agent has metered it: a program run at once
  // is read only after the fact, and is the kernel-side source's to name.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, go[0], 0);
  ::posix_spawn_file_actions_addclose(&actions, go[1]);
  pid_t child = 0;
  std::string script = "read line; exec " + second + " 0.2";
  const char* argv[] = {shell.c_str(), "-c", script.c_str(), nullptr};
  ASSERT_EQ(
      ::posix_spawn(&child, shell.c_str(), &actions, nullptr, const_cast<char**>(argv), environ),
      0);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(go[0]);
  EXPECT_TRUE(waitUntil(
      [&] {
        vantorctl("send TARNWICKDUMP");
        return !recordsOf(dataFiles(installation, ".data"), "metered-shell").empty();
      },
      30s));
  EXPECT_EQ(::write(go[1], "go\n", 3), 3);
  ::close(go[1]);
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(waitUntil(
      [&] { return !recordsOf(dataFiles(installation, ".make.tmp"), "metered-second").empty(); },
      10s));
  std::vector<std::string> files = stopAndCollect(installation, agent);
  // The shell's part ended when the other program began; the process itself went on. The
  // delivery while it waited wrote its first record.
  std::vector<UsageRecord> shells = recordsOf(files, "metered-shell");
  ASSERT_EQ(shells.size(), 2u);
  EXPECT_EQ(shells[0].second.substr(0, 2), "1:");
  EXPECT_EQ(shells[1].second.substr(0, 2), "0:");
  EXPECT_EQ(shells[1].exitCode(), "none");
  std::vector<UsageRecord> seconds = recordsOf(files, "metered-second");
  ASSERT_EQ(seconds.size(), 1u);
  EXPECT_EQ(seconds[0].exitCode(), "0");
}

TEST(KernelEventsTest, ThreadsThatOutliveOrReplaceTheFirstAndNamelessUsersAreMetered) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation);
  std::string program = copyOf(installation, EXIT_WITH_PATH, "exit_with");
  std::string second = copyOf(installation, "/bin/sleep", "metered-second");
  ::chmod(installation.dir().path().c_str(), 0755);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // The first thread leaves at once; the process ends a second later, with status 5.
  int status = run(program, {"thread-exit", "5"});
  EXPECT_EQ(WEXITSTATUS(status), 5);
  // Another thread starts another program in the process.
  run(program, {"thread-exec", second, "0"});  // which ends at once
  // A user the system has no name for.
  run("/usr/bin/setpriv", {"--reuid=12345", "--regid=12345", "--clear-groups", program, "4"});
  awaitEventsHandled(installation);
  std::vector<std::string> files = stopAndCollect(installation, agent);
  // Each status once: a doubled record is a fault.
  std::multimap<std::string, UsageRecord> byStatus;
  for (const UsageRecord& record : recordsOf(files, program)) {
    byStatus.emplace(record.exitCode(), record);
  }
  ASSERT_EQ(byStatus.size(), 3u) << installation.log();
  ASSERT_EQ(byStatus.count("5"), 1u) << installation.log();
  EXPECT_GE(byStatus.find("5")->second.duration(), 1);
  ASSERT_EQ(byStatus.count("none"), 1u);  // replaced by the other program
  std::vector<UsageRecord> seconds = recordsOf(files, "metered-second");
  ASSERT_EQ(seconds.size(), 1u);
  EXPECT_EQ(seconds[0].exitCode(), "0");
  ASSERT_EQ(byStatus.count("4"), 1u);
  const UsageRecord& nameless = byStatus.find("4")->second;
  EXPECT_TRUE(nameless.user().ends_with("\\12345")) << nameless.user();
}

TEST(KernelEventsTest, TheLastProcessesBeforeAStopAndAcrossReconfigurationsAreRecorded) {
  if (!mayListen()) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 2);
  std::string program = copyOf(installation, EXIT_WITH_PATH, "exit_with");
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  std::vector<std::string> links = linksOf(installation, program, "burst", 1200);
  std::thread burst([&] {
    for (const std::string& link : links) run(link, {"113"});
  });
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(300ms);
    ::kill(agent.pid(), SIGHUP);
    EXPECT_TRUE(tracing(installation, 2 + i)) << installation.log();
  }
  burst.join();
  // Ended just before the stop.
  run(program, {"24"});
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::map<std::string, std::string> statusOf{{program, "24"}};
  for (const std::string& link : links) statusOf[link] = "113";
  // Ended before their program could be read: without a name, or with the kernel's alone.
  expectOneRecordEach(files, statusOf, 12);
  // The worker stopped on request each time, not killed while it held events.
  EXPECT_EQ(countOf(installation.log(), "END THREAD EventTracer"), 3u);
}

TEST(KernelEventsTest, WithoutTheRightToListenTheAgentPollsAndStaysQuiet) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run the agent as another user";
  Installation installation;
  meterByEvents(installation);
  giveToNobody(installation);
  AgentProcess agent({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  ASSERT_TRUE(started(installation)) << installation.log();
  std::string log = installation.log();
  EXPECT_NE(log.find("The kernel trace session could not be started: ERROR_ACCESS_DENIED"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("the process table is polled instead"), std::string::npos);
  waitForPolls(installation, 1);
  auto cpu = [&] {
    std::istringstream stat(readFile("/proc/" + std::to_string(agent.pid()) + "/stat"));
    std::string field;
    long long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
      if (i >= 14) ticks += std::stoll(field);
    }
    return ticks;
  };
  long long before = cpu();
  std::this_thread::sleep_for(10s);
  // Ten seconds of polling this machine's few processes: well under a second of CPU.
  EXPECT_LT(cpu() - before, sysconf(_SC_CLK_TCK) / 2);
  stopAndCollect(installation, agent);
}

}  // namespace
}  // namespace Vantor::integration
