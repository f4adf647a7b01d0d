// Real processes metered by the real tarnwick binary: the poller finds them, the process map
// writes their usage records, and the records reach the ".data" files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <thread>

#include "foundation/DateTime.h"
#include "integration/Harness.h"
#include "support/ExecutableBuilder.h"

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

TEST(MeteringTest, ASleepingCopyIsMeteredWithItsInterimAndFinalRecord) {
  Installation installation;
  meterEverySecond(installation);
  writeFile(installation.confDir() + "accounts.conf", userName() + " = metering-team : lab\n");
  std::string sleeper = installation.dir().file("metered-sleeper");
  std::filesystem::copy_file("/bin/sleep", sleeper);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  waitForPolls(installation, 1);

  long long realStart = std::time(nullptr);
  pid_t child = spawn(sleeper, "3");
  waitForPolls(installation, 2);
  int status = -1;
  EXPECT_EQ(vantorctl("send TARNWICKDUMP", &status), "\n");
  EXPECT_EQ(status, 0);
  std::vector<UsageRecord> interim = recordsOf(dataFiles(installation, ".data"), "metered-sleeper");
  ASSERT_EQ(interim.size(), 1u) << installation.log();
  EXPECT_EQ(interim[0].fields[9], "none");
  EXPECT_EQ(interim[0].second.substr(0, 2), "1:");

  ::waitpid(child, nullptr, 0);
  long long realEnd = std::time(nullptr);
  waitForPolls(installation, 2);
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, agent), "metered-sleeper");
  ASSERT_EQ(records.size(), 2u) << installation.log();
  const UsageRecord& final = records[1];
  EXPECT_EQ(final.second.substr(0, 2), "0:");
  EXPECT_EQ(final.fields[9], "0");
  EXPECT_EQ(final.start, interim[0].start + interim[0].duration());
  for (const UsageRecord& record : records) {
    EXPECT_EQ(record.fields[4], "metered-sleeper");
    EXPECT_EQ(record.fields[5], "metered-sleeper");
    EXPECT_EQ(record.fields[6], installation.dir().path() + "/");
    EXPECT_EQ(record.fields[7], "non-prime");
    EXPECT_EQ(record.fields[8], "metering-team|lab");
  }
  EXPECT_LE(std::llabs(interim[0].start - realStart), 1) << realStart;
  long long duration = interim[0].duration() + final.duration();
  EXPECT_LE(std::llabs(duration - (realEnd - realStart)), 2) << duration;

  // The report reads the agent's own files: the two records are one process of one user.
  std::string database = installation.dir().file("usage.db");
  EXPECT_EQ(run(TARNWICK_REPORT_PATH, {"load", "--database", database, installation.workDir()}), 0);
  FILE* pipe = ::popen((std::string(TARNWICK_REPORT_PATH) + " report --utc --format csv " +
                        "--product metered-sleeper --database " + database)
                           .c_str(),
                       "r");
  char row[512] = "";
  std::string csv;
  while (std::fgets(row, sizeof row, pipe) != nullptr) csv += row;
  ::pclose(pipe);
  char hours[16];
  std::snprintf(hours, sizeof hours, "%.2f", static_cast<double>(duration) / 3600);
  EXPECT_NE(
      csv.find("\nmetered-sleeper,1," + DateTime(interim[0].start).toString(true, false, true) +
               ",1,1,1," + hours + ",0.00," + hours + "\n"),
      std::string::npos)
      << csv;
}

TEST(MeteringTest, MappingsRenameOrSilenceAnExecutable) {
  Installation installation;
  meterEverySecond(installation);
  writeFile(
      installation.confDir() + "components/appmapping.conf",
      "mapalways\n{\n  metered-mapped = Mapped Product\n}\nIGNORE\n{\n  Metered-Ignored\n}\n");
  std::string mapped = installation.dir().file("metered-mapped");
  std::string ignored = installation.dir().file("metered-ignored.bin");
  std::filesystem::copy_file("/bin/sleep", mapped);
  std::filesystem::copy_file("/bin/sleep", ignored);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  pid_t first = spawn(mapped, "2");
  pid_t second = spawn(ignored, "2");
  ::waitpid(first, nullptr, 0);
  ::waitpid(second, nullptr, 0);
  waitForPolls(installation, 2);
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> records = recordsOf(files, "metered-mapped");
  ASSERT_EQ(records.size(), 1u) << installation.log();
  EXPECT_EQ(records[0].fields[5], "Mapped Product");
  EXPECT_EQ(recordsOf(files, "metered-ignored.bin").size(), 0u);
  EXPECT_NE(installation.log().find("Application mappings loaded."), std::string::npos);
}

TEST(MeteringTest, ProductNamesComeFromTheFilesVersionInformationReadOnce) {
  Installation installation;
  meterEverySecond(installation);
  // Executables replaced on disk while they run: the agent reads the new files, which carry
  // version resources, under the paths the processes were started from.
  std::string writer = installation.dir().file("writer.exe");
  std::string calculator = installation.dir().file("calc.exe");
  std::filesystem::copy_file("/bin/sleep", writer);
  std::filesystem::copy_file("/bin/sleep", calculator);
  std::vector<pid_t> children{spawn(writer, "30"), spawn(writer, "30"), spawn(calculator, "30")};
  testing::PeStringTable writerTable{0x0409, 0x04b0, {{"FileDescription", "Test Writer"}}};
  testing::PeStringTable calculatorTable{
      0x0409, 0x04b0, {{"FileDescription", "Calculator Application"}, {"ProductName", "Suite"}}};
  writeFile(writer + ".new", testing::buildPeFile({writerTable}, {{0x0409, 0x04b0}}));
  writeFile(calculator + ".new", testing::buildPeFile({calculatorTable}, {{0x0409, 0x04b0}}));
  std::filesystem::rename(writer + ".new", writer);
  std::filesystem::rename(calculator + ".new", calculator);

  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  waitForPolls(installation, 1);
  for (pid_t child : children) {
    ::kill(child, SIGTERM);
    ::waitpid(child, nullptr, 0);
  }
  waitForPolls(installation, 2);
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> writers = recordsOf(files, "writer.exe");
  ASSERT_EQ(writers.size(), 2u) << installation.log();
  for (const UsageRecord& record : writers) EXPECT_EQ(record.fields[5], "Test Writer");
  std::vector<UsageRecord> calculators = recordsOf(files, "calc.exe");
  ASSERT_EQ(calculators.size(), 1u);
  EXPECT_EQ(calculators[0].fields[5], "Calculator");
  EXPECT_EQ(calculators[0].fields[9], std::to_string(0));

  std::string log = installation.log();
  std::string read = "No information stored about \"" + writer + "\"";
  std::size_t first = log.find(read);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(log.find(read, first + 1), std::string::npos) << "read twice";
}

TEST(MeteringTest, AccountChangesReachTheNextRecords) {
  Installation installation;
  meterEverySecond(installation);
  std::string user = userName();
  writeFile(installation.confDir() + "accounts.conf", user + " = main-table\n");
  std::string sleeper = installation.dir().file("metered-account");
  std::filesystem::copy_file("/bin/sleep", sleeper);
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();

  auto runOnce = [&] {
    pid_t child = spawn(sleeper, "1.5");
    ::waitpid(child, nullptr, 0);
    waitForPolls(installation, 2);
  };
  auto seenAfterCheck = [&] {
    // The accounts are checked every few seconds: wait for the next check to have run.
    std::this_thread::sleep_for(6s);
  };
  runOnce();
  writeFile(installation.confDir() + "accounts/" + user + ".conf", user + " = per-user\n");
  seenAfterCheck();
  runOnce();
  std::filesystem::remove(installation.confDir() + "accounts/" + user + ".conf");
  seenAfterCheck();
  runOnce();
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, agent), "metered-account");
  ASSERT_EQ(records.size(), 3u) << installation.log();
  EXPECT_EQ(records[0].fields[8], "main-table");
  EXPECT_EQ(records[1].fields[8], "per-user");
  EXPECT_EQ(records[2].fields[8], "main-table");
}

TEST(MeteringTest, AMissingKernelDriverFallsBackWithAWarning) {
  Installation installation;
  installation.editConf("events(Bool) = false", "events(Bool) = true");
  installation.editConf("kernel-driver(Bool) = false", "kernel-driver(Bool) = true");
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(5s), 0);
  std::string log = installation.log();
  EXPECT_NE(log.find("Will be using the kernel driver to get process events."), std::string::npos);
  EXPECT_NE(log.find("A communication channel could not be opened: ERROR_FILE_NOT_FOUND"),
            std::string::npos)
      << log;
  // This system has a kernel trace session, so polling is not forced on.
  EXPECT_EQ(log.find("the process table is polled instead"), std::string::npos);
  EXPECT_EQ(log.find("Preparing ProcessPoller thread..."), std::string::npos);
  // Root may raise the right to read every process; others are told that they could not.
  EXPECT_NE(log.find(::getuid() == 0 ? "Debug privileges enabled." : "(2.08.16)"),
            std::string::npos);
}

}  // namespace
}  // namespace Vantor::integration
