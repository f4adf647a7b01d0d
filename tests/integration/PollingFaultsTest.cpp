// Usage records that stay right when processes misbehave: they end just after a delivery,
// linger as zombies, vanish before they can be read, carry hostile names, or belong to users
// the agent may not inspect.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "integration/Harness.h"
#include "support/ExecutableBuilder.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

std::string copyOfSleep(const Installation& installation, const std::string& name) {
  std::string path = installation.dir().file(name);
  std::filesystem::copy_file("/bin/sleep", path);
  return path;
}

void endChild(pid_t child) {
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}

std::size_t countWithFile(const std::vector<UsageRecord>& records, const std::string& file) {
  return static_cast<std::size_t>(std::count_if(
      records.begin(), records.end(), [&](const UsageRecord& r) { return r.file() == file; }));
}

TEST(PollingFaultsTest, AProcessEndingJustAfterADeliveryKeepsItsFinalRecord) {
  // Polls every 6 seconds date an end 3 seconds back. A delivery between two polls restarts
  // every interval; a process that ends after it is seen at the next poll, dated before it.
  Installation installation;
  meterEvery(installation, "PT6S");
  std::string sleeper = copyOfSleep(installation, "metered-final");
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  pid_t child = spawn(sleeper, "600");
  waitForPolls(installation, 1);
  waitForPolls(installation, 1);    // seen running; the next poll is 6 seconds away
  std::this_thread::sleep_for(4s);  // the delivery comes a second after the estimated end
  int status = -1;
  vantorctl("send TARNWICKDUMP", &status);
  EXPECT_EQ(status, 0);
  endChild(child);
  waitForPolls(installation, 1);
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, agent), "metered-final");
  ASSERT_EQ(records.size(), 2u) << installation.log();
  EXPECT_EQ(records[0].exitCode(), "none");
  const UsageRecord& final = records[1];
  EXPECT_EQ(final.second.substr(0, 2), "0:");
  EXPECT_EQ(final.exitCode(), "0");
  EXPECT_EQ(final.start, records[0].start + records[0].duration());
  EXPECT_GE(final.duration(), 0);
}

TEST(PollingFaultsTest, EndedProcessesAreRecordedOnceAndLeaveTheMap) {
  Installation installation;
  meterEverySecond(installation);
  std::string sleeper = copyOfSleep(installation, "metered-zombie");
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  // Seen running, then ended but never collected by their parent (this test).
  std::vector<pid_t> zombies;
  for (int i = 0; i < 6; ++i) zombies.push_back(spawn(sleeper, "60"));
  EXPECT_TRUE(waitUntil(
      [&] { return countOf(installation.log(), "Application \"metered-zombie\"") >= 6; }, 60s));
  for (pid_t zombie : zombies) ::kill(zombie, SIGKILL);
  // Ended before the agent ever saw them run, as another user: nothing but their user is
  // known, so they carry the "lost" marker, once each.
  const bool root = ::getuid() == 0;
  if (root) {
    // Made while the agent is stopped, so that it never sees them run.
    ::kill(agent.pid(), SIGSTOP);
    for (int i = 0; i < 4; ++i) {
      pid_t child = 0;
      const char* argv[] = {"setpriv",        "--reuid=nobody", "--regid=nogroup",
                            "--clear-groups", "/bin/true",      nullptr};
      ASSERT_EQ(
          ::posix_spawnp(&child, "setpriv", nullptr, nullptr, const_cast<char**>(argv), environ),
          0);
      zombies.push_back(child);
    }
    EXPECT_TRUE(waitUntil(
        [&] {
          return std::all_of(zombies.end() - 4, zombies.end(), [](pid_t zombie) {
            return readFile("/proc/" + std::to_string(zombie) + "/stat").find(") Z ") !=
                   std::string::npos;
          });
        },
        60s));
    ::kill(agent.pid(), SIGCONT);
  }
  std::this_thread::sleep_for(2s);
  // Three deliveries, with polls between them, while the zombies stay.
  for (int dump = 0; dump < 3; ++dump) {
    waitForPolls(installation, 2);
    vantorctl("send TARNWICKDUMP");
  }
  for (pid_t zombie : zombies) ::waitpid(zombie, nullptr, 0);
  waitForPolls(installation, 2);
  std::vector<UsageRecord> records = allRecords(stopAndCollect(installation, agent));
  std::vector<UsageRecord> metered = recordsOf(dataFiles(installation, ".data"), "metered-zombie");
  ASSERT_EQ(metered.size(), 6u) << installation.log();
  for (const UsageRecord& record : metered) {
    EXPECT_EQ(record.second.substr(0, 2), "1:");  // the first and only record
    EXPECT_EQ(record.exitCode(), "0");
  }
  if (root) {
    std::size_t lostAsNobody = static_cast<std::size_t>(
        std::count_if(records.begin(), records.end(), [](const UsageRecord& r) {
          return r.file() == "<<lost>>" && r.user().ends_with("\\nobody");
        }));
    EXPECT_EQ(lostAsNobody, 4u) << installation.log();
  }
}

TEST(PollingFaultsTest, ProcessesGoneBeforeTheyCouldBeReadAreNotRecorded) {
  Installation installation;
  meterEverySecond(installation);
  std::string brief = copyOfSleep(installation, "metered-brief");
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  // Children that vanish the moment they end: the kernel collects them itself. About twenty
  // live at any time, each for 50 ms, for five polls.
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  waitForPolls(installation, 1);
  std::this_thread::sleep_for(1100ms);  // what ran before started in an earlier second
  long long burstStart = std::time(nullptr);
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
  auto until = std::chrono::steady_clock::now() + 5s;
  int spawned = 0;
  while (std::chrono::steady_clock::now() < until) {
    spawn(brief, "0.05");
    ++spawned;
    std::this_thread::sleep_for(2500us);
  }
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(::sigaction(SIGCHLD, &previous, nullptr), 0);
  waitForPolls(installation, 2);
  std::vector<UsageRecord> records = allRecords(stopAndCollect(installation, agent));
  EXPECT_GT(countWithFile(records, "metered-brief"), 0u) << spawned;
  // What ran before (a process no one may read, such as a container's first) may carry a
  // marker; nothing that started during the burst does.
  for (const UsageRecord& record : records) {
    if (record.start < burstStart) continue;
    for (const char* marker : {"<<lost>>", "(ACCESS DENIED)", "<<unknown>>"}) {
      EXPECT_NE(record.file(), marker) << record.start << " " << record.user();
    }
  }
}

TEST(PollingFaultsTest, HostileNamesBreakNoRecordOrLogLineAndStallNothing) {
  Installation installation;
  meterEverySecond(installation);
  // A line feed and a colon in an executable's name.
  std::string newline = copyOfSleep(installation, "evil\nline:x");
  // A product name with a tab, a carriage return and a line feed, from a version resource
  // put in place of the running file.
  std::string product = copyOfSleep(installation, "product.exe");
  // A FIFO renamed over a running executable: whoever opens it for reading waits for a
  // writer that never comes.
  std::string stall = copyOfSleep(installation, "stall.exe");
  std::vector<pid_t> children{spawn(newline, "30"), spawn(product, "30"), spawn(stall, "30")};
  testing::PeStringTable table{0x0409, 0x04b0, {{"FileDescription", "Bad\tName\r\nInjected"}}};
  writeFile(product + ".new", testing::buildPeFile({table}, {{0x0409, 0x04b0}}));
  std::filesystem::rename(product + ".new", product);
  ASSERT_EQ(::mkfifo((stall + ".fifo").c_str(), 0644), 0);
  std::filesystem::rename(stall + ".fifo", stall);

  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  waitForPolls(installation, 3);  // polling goes on
  for (pid_t child : children) endChild(child);
  waitForPolls(installation, 2);
  ::kill(agent.pid(), SIGTERM);
  EXPECT_EQ(agent.exitStatus(10s), 0) << installation.log();

  std::vector<std::string> files = dataFiles(installation, ".data");
  std::vector<UsageRecord> records = allRecords(files);  // every file is whole records
  EXPECT_EQ(countWithFile(records, "evil_line_x"), 1u);
  std::vector<UsageRecord> products = recordsOf(files, "product.exe");
  ASSERT_EQ(products.size(), 1u);
  EXPECT_EQ(products[0].fields[5], "Bad_Name__Injected");
  EXPECT_EQ(countWithFile(records, "stall.exe"), 1u);
  std::string log = installation.log();
  EXPECT_NE(log.find("evil?line:x"), std::string::npos);
  EXPECT_EQ(log.find("\nline:x"), std::string::npos);
  EXPECT_EQ(log.find("\nInjected"), std::string::npos);
}

TEST(PollingFaultsTest, WithoutRootOtherUsersProcessesKeepTheirUserAndRunningState) {
  if (::getuid() != 0) GTEST_SKIP() << "needs root to run the agent as another user";
  Installation installation;
  meterEverySecond(installation);
  std::string sleeper = copyOfSleep(installation, "metered-by-root");
  giveToNobody(installation);
  pid_t child = spawn(sleeper, "600");
  AgentProcess agent({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
  ASSERT_TRUE(started(installation)) << installation.log();
  waitForPolls(installation, 2);
  vantorctl("send TARNWICKDUMP");
  std::vector<UsageRecord> interim = allRecords(dataFiles(installation, ".data"));
  endChild(child);
  std::vector<UsageRecord> denied;
  for (const UsageRecord& record : interim) {
    if (record.file() == "(ACCESS DENIED)") denied.push_back(record);
  }
  ASSERT_FALSE(denied.empty()) << installation.log();
  for (const UsageRecord& record : denied) EXPECT_FALSE(record.user().ends_with("<<unknown>>"));
  // Root's processes that still run (this test's sleeper among them) are known to run.
  EXPECT_TRUE(std::any_of(denied.begin(), denied.end(), [](const UsageRecord& r) {
    return r.user().ends_with("\\root") && r.exitCode() == "none";
  }));
  // Its own user's processes are read whole.
  EXPECT_FALSE(recordsOf(dataFiles(installation, ".data"), "tarnwick").empty());
  stopAndCollect(installation, agent);
}

}  // namespace
}  // namespace Vantor::integration
