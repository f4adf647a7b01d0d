// The real tarnwick binary in a temporary installation made by tools/make-installation,
// driven with vantorctl and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/Harness.h"
#include "ipc/IPCClient.h"
#include "support/SystemEnv.h"

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::fileExists;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

void expectShutdownInOrder(const std::string& log) {
  std::size_t at = 0;
  for (const char* line :
       {"Tarnwick main loop has exited.", "Stopping threads...", "Verifying stopped threads...",
        "Now delivering all data...", "Tarnwick main control has ended.",
        "Tarnwick is terminating...", "Tarnwick ended.", "Closing log file"}) {
    std::size_t found = log.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << " missing or out of order";
    at = found;
  }
}

TEST(AgentTest, StartsAnswersTheCoreAndEndsOnDie) {
  Installation installation;
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  EXPECT_NE(installation.log().find("Finished configuring."), std::string::npos);
  int status = -1;
  std::string info = vantorctl("send SEND_PROCESS_INFO", &status);
  EXPECT_EQ(status, 0) << info;
  EXPECT_EQ(info.substr(0, info.find(',')), std::to_string(agent.pid()));
  std::string dump = vantorctl("send TARNWICKDUMP", &status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(dump, "\n");  // an empty body
  // A command cannot forge a line of the log.
  IPCClient(testing::systemEnv(), "Vantor_Tarnwick")
      .send("COMMAND", "", "NOPE\r\nFATAL    forged", "");
  EXPECT_EQ(vantorctl("send \"$(printf 'NOPE\\r')\"", &status),
            "vantorctl: the command may not hold control characters\n");
  EXPECT_EQ(status, 1);
  EXPECT_TRUE(waitUntil(
      [&] {
        return installation.log().find("IPC: Received command \"NOPE??FATAL") != std::string::npos;
      },
      60s))
      << installation.log();
  EXPECT_EQ(installation.log().find("\nFATAL    forged"), std::string::npos);
  EXPECT_EQ(vantorctl("send DIE", &status), "");
  EXPECT_EQ(agent.exitStatus(2s), 0);
  expectShutdownInOrder(installation.log());
}

TEST(AgentTest, SigtermEndsTheAgentLikeDie) {
  Installation installation;
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  ::kill(agent.pid(), SIGTERM);
  EXPECT_EQ(agent.exitStatus(2s), 0);
  expectShutdownInOrder(installation.log());
}

TEST(AgentTest, ASecondInstanceEndsAndTheFirstRunsOn) {
  Installation installation;
  AgentProcess first;
  ASSERT_TRUE(started(installation));
  AgentProcess second;
  EXPECT_EQ(second.exitStatus(10s), 255);
  // The catalogue is not loaded yet when the lock is tried: the message has its text anyway.
  EXPECT_NE(installation.log().find(
                "(2.21.14) Another Tarnwick runs already on this machine; this one ends."),
            std::string::npos)
      << installation.log();
  EXPECT_NE(second.errorOutput().find("Another tarnwick runs already"), std::string::npos);
  EXPECT_TRUE(first.running());
  vantorctl("send DIE");
  EXPECT_EQ(first.exitStatus(5s), 0);
}

TEST(AgentTest, AnAgentThatCannotStartSaysWhyOnStandardError) {
  Installation installation;
  std::string registry = readFile(installation.registryFile());
  std::filesystem::remove(installation.registryFile());
  {
    AgentProcess agent;
    EXPECT_EQ(agent.exitStatus(10s), 255);
    EXPECT_NE(agent.errorOutput().find("the registry file " + installation.registryFile() +
                                       " is missing"),
              std::string::npos)
        << agent.errorOutput();
  }
  writeFile(installation.registryFile(),
            std::regex_replace(registry, std::regex("\"ConfigurationDir\"=[^\n]*\n"), ""));
  {
    AgentProcess agent;
    EXPECT_EQ(agent.exitStatus(10s), 255);
    EXPECT_NE(agent.errorOutput().find(installation.registryFile()), std::string::npos)
        << agent.errorOutput();
    EXPECT_NE(agent.errorOutput().find("ConfigurationDir"), std::string::npos);
    EXPECT_NE(installation.log().find("Cannot start: No configuration directory is set"),
              std::string::npos);
  }
  writeFile(installation.registryFile(), registry);
  std::string conf = readFile(installation.confFile());
  writeFile(installation.confFile(), conf + "\nbroken( = {\n");
  {
    AgentProcess agent;
    EXPECT_EQ(agent.exitStatus(10s), 255);
    EXPECT_NE(agent.errorOutput().find(installation.confFile() + " could not be read, or has an"),
              std::string::npos)
        << agent.errorOutput();
    // Logged before the catalogues are read, the message still has its text.
    EXPECT_NE(installation.log().find("Syntax error in the configuration file"), std::string::npos)
        << installation.log();
  }
  std::filesystem::remove(installation.confFile());
  AgentProcess agent;
  EXPECT_EQ(agent.exitStatus(10s), 255);
  EXPECT_NE(agent.errorOutput().find(installation.confFile()), std::string::npos);
}

TEST(AgentTest, LeftoversOfACrashBecomeDataOrGo) {
  Installation installation;
  std::string work = installation.workDir();
  writeFile(work + "ProcessLog-1-2-3.make.tmp", "record\n");
  writeFile(work + "ProcessLog-1-2-4.make.tmp", "");
  writeFile(work + "ProcessLog-1-2-5.make", "closed\n");
  writeFile(work + "notes.txt", "untouched");
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  EXPECT_FALSE(fileExists(work + "ProcessLog-1-2-3.make.tmp"));
  EXPECT_FALSE(fileExists(work + "ProcessLog-1-2-4.make.tmp"));
  EXPECT_FALSE(fileExists(work + "ProcessLog-1-2-5.make"));
  EXPECT_EQ(readFile(work + "notes.txt"), "untouched");
  // The file being written and the finished one whose delivery was cut short are delivered;
  // the empty one goes.
  std::regex recovered("ProcessLog-1-2-([35])-\\d+-" + std::to_string(agent.pid()) + "\\.data");
  std::map<std::string, std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(work)) {
    std::smatch match;
    std::string name = entry.path().filename().string();
    if (std::regex_match(name, match, recovered)) found[match[1]] = readFile(entry.path().string());
  }
  EXPECT_EQ(found, (std::map<std::string, std::string>{{"3", "record\n"}, {"5", "closed\n"}}));
  EXPECT_NE(installation.log().find("2 leftover file(s) were accepted."), std::string::npos);
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
}

// Sets the delivery interval in file (from PT12H), asks for a reconfiguration, and waits for it.
void reconfigureTo(const Installation& installation, const std::string& file,
                   const std::string& interval) {
  std::string conf = readFile(file);
  conf.replace(conf.find("PT12H"), 5, "PT" + interval.substr(1));
  writeFile(file, conf);
  vantorctl("send RECONFIG");
  EXPECT_TRUE(waitUntil(
      [&] {
        return installation.log().find("Data delivery at interval: " + interval + ".") !=
               std::string::npos;
      },
      60s))
      << installation.log();
}

TEST(AgentTest, ReconfigurationReadsTheFileNamedOnTheCommandLine) {
  Installation installation;
  std::string named = installation.dir().file("named.conf");
  writeFile(named, readFile(installation.confFile()));
  AgentProcess agent({}, {"-c", named});
  ASSERT_TRUE(started(installation)) << installation.log();
  reconfigureTo(installation, named, "P10S");
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
}

TEST(AgentTest, ReconfigurationReadsTheFileAgainAndKeepsRunning) {
  Installation installation;
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  reconfigureTo(installation, installation.confFile(), "P10S");
  std::string conf = readFile(installation.confFile());
  conf.replace(conf.find("PT10S"), 5, "PT20S");
  writeFile(installation.confFile(), conf);
  ::kill(agent.pid(), SIGHUP);
  EXPECT_TRUE(waitUntil(
      [&] {
        return installation.log().find("Data delivery at interval: P20S.") != std::string::npos;
      },
      60s));
  EXPECT_TRUE(agent.running());
  EXPECT_EQ(installation.log().find("(2.21.14)"), std::string::npos);  // the lock is kept
  // A broken file changes nothing: the running configuration stays, with its workers.
  writeFile(installation.confFile(), conf.substr(0, conf.size() / 2) + "\n} }\n");
  ::kill(agent.pid(), SIGHUP);
  EXPECT_TRUE(waitUntil(
      [&] {
        return installation.log().find("The configuration was not read again") != std::string::npos;
      },
      60s));
  EXPECT_EQ(countOf(installation.log(), "Data delivery at interval:"), 3u);
  EXPECT_EQ(countOf(installation.log(), "Stopping threads..."), 2u);
  int status = -1;
  vantorctl("send SEND_PROCESS_INFO", &status);
  EXPECT_EQ(status, 0);
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
}

TEST(AgentTest, AReconfigurationThatFailsEndsTheAgentWithItsData) {
  Installation installation;
  meterEverySecond(installation);
  std::string longer = installation.dir().file("metered-long");
  std::filesystem::copy_file("/bin/sleep", longer);
  pid_t running = spawn(longer, "30");
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  waitForPolls(installation, 2);
  // The calendar can no longer be read: the agent cannot configure itself again.
  std::filesystem::remove(installation.confDir() + "primetime");
  std::filesystem::create_directory(installation.confDir() + "primetime");
  ::kill(agent.pid(), SIGHUP);
  // Ended by a failure: the status says so, and a service manager starts it again.
  EXPECT_EQ(agent.exitStatus(20s), 1) << installation.log();
  std::vector<UsageRecord> records = recordsOf(dataFiles(installation, ".data"), "metered-long");
  ASSERT_EQ(records.size(), 1u) << "the running process is in the final delivery";
  EXPECT_EQ(records[0].exitCode(), "none");
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
}

TEST(AgentTest, SigtermDuringAReconfigurationEndsTheAgentCleanly) {
  Installation installation;
  for (int run = 1; run <= 5; ++run) {
    AgentProcess agent;
    ASSERT_TRUE(started(installation)) << installation.log();
    std::size_t stops = countOf(installation.log(), "Stopping threads...");
    ::kill(agent.pid(), SIGHUP);
    ASSERT_TRUE(
        waitUntil([&] { return countOf(installation.log(), "Stopping threads...") > stops; }, 60s));
    ::kill(agent.pid(), SIGTERM);  // while the status monitor configures and starts workers
    ASSERT_EQ(agent.exitStatus(10s), 0) << "run " << run << "\n" << installation.log();
    EXPECT_EQ(countOf(installation.log(), "Tarnwick ended."), static_cast<std::size_t>(run));
  }
}

// Adds the test settings (a check every second and a test worker) to the tarnwick section.
void withTestWorker(const Installation& installation, const std::string& temper) {
  std::string conf = readFile(installation.confFile());
  conf = withinTarnwickSection(
      conf,
      "testing() = \"\" { check-period(TimeSpan) = PT1S {} worker(String) = " + temper + " {} }");
  writeFile(installation.confFile(), conf);
}

bool logShows(const Installation& installation, const std::string& text,
              std::chrono::seconds deadline) {
  return waitUntil([&] { return installation.log().find(text) != std::string::npos; }, deadline);
}

TEST(AgentSupervisionTest, ASilentWorkerIsKilledAndRestartedInOneCheck) {
  Installation installation;
  withTestWorker(installation, "silent");
  AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(started(installation));
  ASSERT_TRUE(
      logShows(installation, "Check: Thread \"TestWorker\" is down. Attempting restart...", 60s));
  std::string log = installation.log();
  std::size_t killed = log.find("   Check: \"TestWorker\" has been killed.");
  ASSERT_NE(killed, std::string::npos);
  EXPECT_LT(killed, log.find("Check: Thread \"TestWorker\" is down. Attempting restart..."));
  EXPECT_TRUE(agent.running());
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
}

TEST(AgentSupervisionTest, AFatalWorkerEndsTheAgentWithinOneCheck) {
  Installation installation;
  withTestWorker(installation, "fatal");
  {
    // The shipped agent has no test workers: no configuration can reach them.
    AgentProcess shipped;
    ASSERT_TRUE(started(installation));
    EXPECT_EQ(installation.log().find("TestWorker"), std::string::npos);  // made before the start
    ::kill(shipped.pid(), SIGTERM);
    EXPECT_EQ(shipped.exitStatus(5s), 0);
  }
  AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(started(installation));
  EXPECT_EQ(agent.exitStatus(20s), 1);
  EXPECT_NE(installation.log().find(
                "Check: Thread \"TestWorker\" has reported a fatal error. We are shutting down."),
            std::string::npos);
  expectShutdownInOrder(installation.log());
}

TEST(AgentSupervisionTest, ADeadWorkerIsRestarted) {
  Installation installation;
  withTestWorker(installation, "dying");
  AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(started(installation));
  EXPECT_TRUE(logShows(installation, "   \"TestWorker\" is down.", 60s));
  EXPECT_TRUE(logShows(installation, "   Check: \"TestWorker\" has been restarted.", 60s));
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
}

// Every "test record N" line in the files, as numbers, in file order.
std::vector<int> recordsIn(const std::vector<std::string>& files) {
  std::vector<int> numbers;
  for (const std::string& file : files) {
    std::istringstream content(readFile(file));
    std::string line;
    while (std::getline(content, line)) {
      EXPECT_EQ(line.rfind("test record ", 0), 0u) << line;
      numbers.push_back(std::stoi(line.substr(12)));
    }
  }
  return numbers;
}

TEST(AgentDeliveryTest, StreamsAreDeliveredAtTheBoundariesAndOnDemand) {
  Installation installation;
  withTestWorker(installation, "writer");
  std::string conf = readFile(installation.confFile());
  conf.replace(conf.find("PT12H"), 5, "PT10S");
  writeFile(installation.confFile(), conf);
  AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(started(installation));
  ASSERT_TRUE(waitUntil([&] { return dataFiles(installation, ".data").size() >= 2; }, 40s));
  std::vector<std::string> delivered = dataFiles(installation, ".data");
  EXPECT_LE(delivered.size(), 3u);  // once per 10-second boundary
  for (const std::string& file : delivered) EXPECT_FALSE(readFile(file).empty()) << file;

  int status = -1;
  // A dump delivers an open stream; an idle one makes no file.
  ASSERT_TRUE(waitUntil([&] { return !dataFiles(installation, ".make.tmp").empty(); }, 60s));
  std::size_t before = dataFiles(installation, ".data").size();
  EXPECT_EQ(vantorctl("send TARNWICKDUMP", &status), "\n");
  EXPECT_EQ(status, 0);
  EXPECT_GT(dataFiles(installation, ".data").size(), before);  // delivered before the reply

  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
  // Every record exactly once, in order, across all delivered files.
  std::vector<std::string> all = dataFiles(installation, ".data");
  std::sort(all.begin(), all.end(), [](const std::string& a, const std::string& b) {
    auto counter = [](const std::string& name) {
      std::string base = name.substr(0, name.size() - 5);
      return std::stoul(base.substr(base.rfind('-') + 1));
    };
    return counter(a) < counter(b);
  });
  std::vector<int> numbers = recordsIn(all);
  ASSERT_FALSE(numbers.empty());
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<int>(i) + 1);
  EXPECT_TRUE(dataFiles(installation, ".make").empty());
  EXPECT_TRUE(dataFiles(installation, ".tmp").empty());
}

// Every number from 1 up, once, however the files split them.
void expectEveryRecordOnce(std::vector<int> numbers) {
  std::sort(numbers.begin(), numbers.end());
  ASSERT_FALSE(numbers.empty());
  for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], static_cast<int>(i) + 1);
}

// A file that cannot be moved to its ".data" name (a full or read-only disk) loses nothing: the
// next delivery moves it, and a start after the agent was killed delivers what it left.
TEST(AgentDeliveryTest, AFileThatCannotBeDeliveredIsDeliveredLaterAndNeverLost) {
  auto dumpWhenWriting = [](const Installation& installation) {
    ASSERT_TRUE(waitUntil([&] { return !dataFiles(installation, ".make.tmp").empty(); }, 60s));
    EXPECT_EQ(vantorctl("send TARNWICKDUMP"), "\n");
  };
  {
    Installation installation;
    withTestWorker(installation, "writer");
    AgentProcess agent({"env", "TARNWICK_TESTING_FAILED_DELIVERIES=2"}, {}, TESTING_TARNWICK_PATH);
    ASSERT_TRUE(started(installation));
    dumpWhenWriting(installation);
    EXPECT_EQ(dataFiles(installation, ".make").size(), 1u);
    EXPECT_TRUE(dataFiles(installation, ".data").empty());
    // The next delivery tries the kept file first (and fails again), then moves its own.
    dumpWhenWriting(installation);
    EXPECT_EQ(dataFiles(installation, ".make").size(), 1u);
    EXPECT_EQ(dataFiles(installation, ".data").size(), 1u);
    EXPECT_EQ(countOf(installation.log(), "Could not rename the data file"), 2u);
    dumpWhenWriting(installation);
    EXPECT_TRUE(dataFiles(installation, ".make").empty());
    EXPECT_EQ(dataFiles(installation, ".data").size(), 3u);
    vantorctl("send DIE");
    EXPECT_EQ(agent.exitStatus(5s), 0);
    expectEveryRecordOnce(recordsIn(dataFiles(installation, ".data")));
  }
  {
    Installation installation;
    withTestWorker(installation, "writer");
    {
      AgentProcess agent({"env", "TARNWICK_TESTING_FAILED_DELIVERIES=1000"}, {},
                         TESTING_TARNWICK_PATH);
      ASSERT_TRUE(started(installation));
      dumpWhenWriting(installation);
      ASSERT_TRUE(waitUntil([&] { return !dataFiles(installation, ".make.tmp").empty(); }, 60s));
      ::kill(agent.pid(), SIGKILL);
      agent.exitStatus(5s);
    }
    ASSERT_EQ(dataFiles(installation, ".make").size(), 1u);
    std::size_t beforeKill = recordsIn(dataFiles(installation, ".make")).size() +
                             recordsIn(dataFiles(installation, ".make.tmp")).size();
    AgentProcess restarted({}, {}, TESTING_TARNWICK_PATH);
    ASSERT_TRUE(started(installation));
    EXPECT_TRUE(dataFiles(installation, ".make").empty());
    std::vector<int> recovered = recordsIn(dataFiles(installation, ".data"));
    expectEveryRecordOnce(recovered);
    EXPECT_EQ(recovered.size(), beforeKill);
    vantorctl("send DIE");
    EXPECT_EQ(restarted.exitStatus(5s), 0);
  }
}

TEST(AgentDeliveryTest, AKilledAgentsOpenStreamIsRecoveredAtTheNextStart) {
  Installation installation;
  withTestWorker(installation, "writer");
  std::string untouched = installation.workDir() + "someone-elses.file";
  {
    AgentProcess agent({}, {}, TESTING_TARNWICK_PATH);
    ASSERT_TRUE(started(installation));
    // Killed once the open stream holds a record.
    ASSERT_TRUE(
        waitUntil([&] { return !recordsIn(dataFiles(installation, ".make.tmp")).empty(); }, 60s));
    ::kill(agent.pid(), SIGKILL);
    agent.exitStatus(5s);
  }
  writeFile(untouched, "not ours");
  std::vector<std::string> open = dataFiles(installation, ".make.tmp");
  ASSERT_EQ(open.size(), 1u);
  std::string prefix = open[0].substr(0, open[0].size() - 9);
  std::vector<int> beforeRestart = recordsIn(open);
  ASSERT_FALSE(beforeRestart.empty());

  AgentProcess restarted({}, {}, TESTING_TARNWICK_PATH);
  ASSERT_TRUE(started(installation));
  std::regex recovered(std::regex_replace(prefix, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                       "-\\d+-" + std::to_string(restarted.pid()) + "\\.data");
  std::vector<std::string> matches;
  for (const std::string& file : dataFiles(installation, ".data")) {
    if (std::regex_match(file, recovered)) matches.push_back(file);
  }
  ASSERT_EQ(matches.size(), 1u);
  EXPECT_EQ(recordsIn(matches), beforeRestart);  // nothing written before the kill is lost
  EXPECT_EQ(readFile(untouched), "not ours");
  vantorctl("send DIE");
  EXPECT_EQ(restarted.exitStatus(5s), 0);
}

}  // namespace
}  // namespace Vantor::integration
