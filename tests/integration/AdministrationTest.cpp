// The agent as an administrator runs it: asked how it is, in each of its event modes, and
// under a service manager that waits for it to be ready, watches it and reads its journal.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>

#include "integration/Harness.h"
#include "support/TempDir.h"

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

// What the shipped agent prints, and its exit status.
std::string tarnwick(const std::string& arguments, int* status) {
  FILE* pipe = ::popen((std::string(TARNWICK_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  *status = WEXITSTATUS(::pclose(pipe));
  return out;
}

// The records the status says a stream wrote; -1 when it names no such stream.
long long recordsWritten(const std::string& json, const std::string& stream) {
  std::smatch found;
  std::regex written("\"id\": \"" + stream + "\", \"records_written\": (\\d+)");
  return std::regex_search(json, found, written) ? std::stoll(found[1]) : -1;
}

TEST(AdministrationTest, TheStatusTellsAPersonAndAScriptHowThePollingAgentIs) {
  Installation installation;
  meterEverySecond(installation);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  std::string program = copyOf(installation, EXIT_WITH_PATH, "status-polled");
  run(program, {"after", "1500", "0"});
  waitForPolls(installation, 2);
  int status = -1;
  vantorctl("send TARNWICKDUMP", &status);
  ASSERT_EQ(status, 0);

  std::string text = vantorctl("status", &status);
  EXPECT_EQ(status, 0) << text;
  std::string heading = std::string("tarnwick ") + TARNWICK_VERSION + " (pid " +
                        std::to_string(agent.pid()) + "): metering\n";
  EXPECT_EQ(text.rfind(heading, 0), 0u) << text;
  EXPECT_NE(text.find("\nevents:     polls, polling every 1 s; 0 lost, 0 repairs, "),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\nworker:     ProcessPoller running, last heartbeat "), std::string::npos)
      << text;
  EXPECT_EQ(text.find("deliveries: last none"), std::string::npos) << text;

  std::string json = vantorctl("status --json", &status);
  EXPECT_EQ(status, 0) << json;
  std::map<std::string, std::string> fields = agentStatus();
  EXPECT_EQ(fields["pid"], std::to_string(agent.pid()));
  EXPECT_EQ(fields["version"], TARNWICK_VERSION);
  EXPECT_EQ(fields["event_source"], "polls");
  EXPECT_EQ(fields["configurations"], "1");
  EXPECT_NE(fields["last_delivery"], "null");
  EXPECT_NE(fields["processes"], "null");
  EXPECT_GE(recordsWritten(json, "process"), 1) << json;

  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(10s), 0);
}

TEST(AdministrationTest, TheStatusNamesTheEventSourceAndSaysWhenPollsStandInForTheDriver) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  {
    Installation installation;
    meterByEvents(installation);
    AgentProcess agent;
    ASSERT_TRUE(tracing(installation)) << installation.log();
    std::map<std::string, std::string> fields = agentStatus();
    EXPECT_EQ(fields["event_source"], "kernel events");
    EXPECT_EQ(fields["event_state"], "events flowing");
    EXPECT_EQ(fields["events_lost"], "0");
    stopAndCollect(installation, agent);
  }
  Installation installation;
  meterByDriver(installation);
  AgentProcess driver({}, {}, VANTOR_PROCDRV_PATH);
  // Its device is there before it listens on it: "serving" says it does.
  ASSERT_TRUE(
      waitUntil([&] { return driver.errorOutput().find("serving ") != std::string::npos; }, 10s))
      << driver.errorOutput();
  // A driver that does not answer when the agent starts: polls stand in, and the agent
  // meters (and would tell a service manager it is ready) all the same.
  ::kill(driver.pid(), SIGSTOP);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  EXPECT_EQ(agentStatus()["event_state"], "falling back to polls");
  ::kill(driver.pid(), SIGCONT);
  ASSERT_TRUE(tracing(installation)) << installation.log();
  EXPECT_EQ(agentStatus()["event_source"], "driver");
  ::kill(driver.pid(), SIGTERM);
  EXPECT_EQ(driver.exitStatus(10s), 0);
  EXPECT_TRUE(
      waitUntil([&] { return agentStatus()["event_state"] == "falling back to polls"; }, 60s))
      << installation.log();
  stopAndCollect(installation, agent);
}

TEST(AdministrationTest, TheCheckSaysWhatTheAgentWouldDoAndWhereEachFileIsBroken) {
  Installation installation;
  meterEverySecond(installation);
  int status = -1;
  std::string said = tarnwick("--check", &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_NE(said.find("\nevent source:     polls alone\npolling:          every 1 s\n"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("\nproblems:         none\ntarnwick: the agent would start\n"),
            std::string::npos)
      << said;
  // It made nothing: no log, no working folder.
  EXPECT_FALSE(testing::fileExists(installation.dir().file("log/tarnwick.log")));
  std::filesystem::remove_all(installation.workDir());
  tarnwick("--check", &status);
  EXPECT_FALSE(testing::fileExists(installation.workDir()));

  // Beside a running agent it takes no lock and disturbs nothing.
  {
    AgentProcess agent;
    ASSERT_TRUE(started(installation)) << installation.log();
    std::size_t logBytes = installation.log().size();
    said = tarnwick("--check", &status);
    EXPECT_EQ(status, 0) << said;
    std::map<std::string, std::string> fields = agentStatus();
    EXPECT_EQ(fields["pid"], std::to_string(agent.pid()));
    EXPECT_EQ(fields["configurations"], "1");
    EXPECT_EQ(installation.log().find("Another tarnwick", logBytes), std::string::npos);
    stopAndCollect(installation, agent);
  }

  // Each broken file is named, with its line where the file has lines.
  std::string configuration = testing::readFile(installation.confFile());
  testing::writeFile(installation.confFile(),
                     configuration + "\ntarnwick() = \"\" {\n  broken(Bool) = true true\n}\n");
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 1) << said;
  std::size_t lines =
      static_cast<std::size_t>(std::count(configuration.begin(), configuration.end(), '\n'));
  EXPECT_NE(said.find(installation.confFile() + ":" + std::to_string(lines + 3) + ": "),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("tarnwick: the agent would refuse to start\n"), std::string::npos) << said;
  testing::writeFile(installation.confFile(), configuration);

  // A value of the wrong kind is named with its line; the default stands in for it.
  std::string polling = "polling(Bool) = true";
  std::size_t pollingAt = configuration.find(polling);
  ASSERT_NE(pollingAt, std::string::npos) << configuration;
  std::string wrongKind = configuration;
  wrongKind.replace(pollingAt, polling.size(), "polling(Bool) = yes");
  testing::writeFile(installation.confFile(), wrongKind);
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_NE(said.find("tarnwick.conf\", line " +
                      std::to_string(std::count(configuration.begin(),
                                                configuration.begin() + pollingAt, '\n') +
                                     1) +
                      ": the key tarnwick.logging.process-data.polling is neither true nor false"),
            std::string::npos)
      << said;
  EXPECT_NE(said.find("event source:     none: nothing is metered"), std::string::npos) << said;
  // A working folder that cannot be made refuses the start.
  testing::writeFile(
      installation.confFile(),
      withinTarnwickSection(
          configuration, "working-dir(DirName) = \"" + installation.confFile() + "/below/\" {}"));
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find("Could not create the working directory"), std::string::npos) << said;
  testing::writeFile(installation.confFile(), configuration);

  std::string registry = installation.dir().file("registry.reg");
  std::string values = testing::readFile(registry);
  testing::writeFile(registry, values + "\"Unended\n");
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 0) << said;  // the values it needs are there
  EXPECT_NE(said.find(registry + ": line " +
                      std::to_string(std::count(values.begin(), values.end(), '\n') + 1) + ": "),
            std::string::npos)
      << said;
  testing::writeFile(registry, values);

  // A mapping file that others may write would let them rename what is recorded.
  std::string mapping = installation.confDir() + "components/appmapping.conf";
  ::chmod(mapping.c_str(), 0666);
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find("Refusing the application mapping " + mapping), std::string::npos) << said;
  ::chmod(mapping.c_str(), 0600);

  std::string calendar = installation.confDir() + "primetime";
  testing::writeFile(calendar, "*:*:*:1-5:8-16\n*:*:*:1-9:*\n");
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 0) << said;
  EXPECT_NE(said.find("The prime-time calendar " + calendar + ", line 2: the weekday 9 is outside"),
            std::string::npos)
      << said;
  std::filesystem::remove(calendar);
  std::filesystem::create_directory(calendar);
  said = tarnwick("--check", &status);
  EXPECT_EQ(status, 1) << said;
  EXPECT_NE(said.find(calendar), std::string::npos) << said;

  // A command line it cannot use: the usage, and status 2.
  for (const char* wrong : {"--bogus", "-c", "--check extra", "--merge-registry", "-c a -c b"}) {
    said = tarnwick(wrong, &status);
    EXPECT_EQ(status, 2) << wrong << ": " << said;
    EXPECT_NE(said.find("usage: tarnwick"), std::string::npos) << wrong << ": " << said;
  }
  for (const char* wrong : {"--bogus", "--queue-size"}) {
    AgentProcess driver({}, {wrong}, VANTOR_PROCDRV_PATH);
    EXPECT_EQ(driver.exitStatus(10s), 2) << wrong;
    EXPECT_NE(driver.errorOutput().find("Usage: vantor-procdrv"), std::string::npos) << wrong;
  }
}

// Listens where $NOTIFY_SOCKET will say, as the service manager would.
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& path) {
    socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  }
  ~NotifyListener() { ::close(socket_); }
  // The next notification within the deadline; empty when none came.
  std::string next(std::chrono::milliseconds deadline) {
    pollfd ready{socket_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(deadline.count())) != 1) return "";
    char buffer[4096];
    ssize_t got = ::recv(socket_, buffer, sizeof buffer, 0);
    return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : "";
  }
  // Waits for a notification that holds text; false when none did within the deadline.
  bool awaitNotice(const std::string& text, std::chrono::seconds deadline) {
    auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
      if (next(1s).find(text) != std::string::npos) return true;
    }
    return false;
  }

 private:
  int socket_ = -1;
};

TEST(AdministrationTest, TheServiceManagerHearsReadinessStatusWatchdogAndTheStopAndTheJournal) {
  Installation installation;
  meterEverySecond(installation);
  std::string socketPath = installation.dir().file("notify");
  NotifyListener manager(socketPath);
  testing::ScopedEnv notifySocket("NOTIFY_SOCKET", socketPath.c_str());
  testing::ScopedEnv watchdog("WATCHDOG_USEC", "4000000");
  // Standard error is the journal's stream, as systemd says it in $JOURNAL_STREAM.
  AgentProcess agent(
      {"/bin/sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /dev/stderr) exec \"$0\" \"$@\""});
  std::string ready;
  ASSERT_TRUE(waitUntil(
      [&] {
        ready = manager.next(1s);
        return ready.find("READY=1") != std::string::npos || !agent.running();
      },
      60s));
  EXPECT_NE(ready.find("STATUS=metering "), std::string::npos) << ready;
  EXPECT_NE(ready.find(" processes from polls"), std::string::npos) << ready;
  // A 4 s watchdog: the health check runs every 2 s, and each that passes pings.
  EXPECT_TRUE(manager.awaitNotice("WATCHDOG=1", 10s));
  EXPECT_TRUE(manager.awaitNotice("WATCHDOG=1", 10s));
  // A stalled agent pings no more.
  ::kill(agent.pid(), SIGSTOP);
  while (!manager.next(500ms).empty()) {
  }
  EXPECT_EQ(manager.next(6s), "");
  ::kill(agent.pid(), SIGCONT);
  EXPECT_TRUE(manager.awaitNotice("WATCHDOG=1", 10s));

  // An error goes to the journal with its priority; debug lines stay in the log.
  testing::writeFile(installation.confFile(), "tarnwick {\n  broken(\n");
  ::kill(agent.pid(), SIGHUP);
  EXPECT_TRUE(waitUntil([&] { return agent.errorOutput().find("<3>") != std::string::npos; }, 30s))
      << agent.errorOutput();
  vantorctl("send DIE");
  EXPECT_TRUE(manager.awaitNotice("STOPPING=1", 30s));
  EXPECT_EQ(agent.exitStatus(30s), 0);
  std::string journal = agent.errorOutput();
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.rfind("<4>WARNING ", 0) == 0 || line.rfind("<3>ERROR ", 0) == 0 ||
                line.rfind("<2>", 0) == 0)
        << line;
  }
  EXPECT_EQ(journal.find("debug-"), std::string::npos) << journal;
}

}  // namespace
}  // namespace Vantor::integration
