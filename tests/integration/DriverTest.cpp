// Metering from the process-event driver: vantor-procdrv end to end, and a scripted driver for
// the ways a driver can fail the agent.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <deque>
#include <mutex>
#include <regex>

#include "integration/Harness.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/posix/RuntimeDirectory.h"
#include "sources/DriverProtocol.h"
#include "support/ScriptedDriver.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using platform::NamedEvent;
using testing::DriverAnswer;
using testing::fileExists;
using testing::waitUntil;

constexpr char kConnected[] = "Kernel driver tracer successfully connected to the kernel driver.";
constexpr char kShutDown[] = "statusMonitor is exiting due to failed threads.";

// A driver of the suite's protocol with the two requests only, as a test scripts it: the
// version it speaks, the records it queues, and the reads it fails.
class TestDriver {
 public:
  explicit TestDriver(std::uint32_t version = kDriverVersion)
      : version_(version),
        driver_(
            *platform::runtimeDirectory("device") + kDriverDeviceName,
            [this](std::uint32_t code, const std::vector<std::uint8_t>&) { return answer(code); }) {
  }

  // Makes the process event, as a driver does when it starts.
  void createEvent() {
    event_ = std::move(testing::systemEnv()
                           .createEvent(kDriverProcessEventName, NamedEvent::Reset::kAutomatic,
                                        NamedEvent::Users::kThisUser)
                           .value());
    ASSERT_TRUE(event_);
  }
  void signal() { EXPECT_TRUE(testing::systemEnv().setEvent(kDriverProcessEventName)); }
  // Queues records of processes created (or ended) at when.
  void queue(const std::vector<pid_t>& pids, DriverRecordKind kind,
             std::chrono::system_clock::time_point when = std::chrono::system_clock::now()) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (pid_t pid : pids) {
      DriverRecord record;
      record.pid = static_cast<std::uint32_t>(pid);
      record.time = driverTimeOfUnixNanos(
          std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count());
      record.created = static_cast<std::uint32_t>(kind);
      records_.push_back(record);
    }
  }
  // The next reads fail, and each sets the event again, as a driver with records would.
  void failReads(int reads) {
    std::lock_guard<std::mutex> lock(mutex_);
    failures_ = reads;
  }
  std::size_t eventRequests() const {
    std::size_t count = 0;
    for (const auto& request : driver_.requests()) count += request.code == kDriverEventRequest;
    return count;
  }

 private:
  DriverAnswer answer(std::uint32_t code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code == kDriverVersionRequest) {
      std::vector<std::uint8_t> version;
      platform::appendLittleEndian(version, version_, 4);
      return testing::answerWith(version);
    }
    if (code != kDriverEventRequest) return {platform::kErrorInvalidFunction, 0, {}};
    if (failures_ > 0) {
      --failures_;
      testing::systemEnv().setEvent(kDriverProcessEventName);
      return {platform::kErrorGenFailure, 0, {}};
    }
    if (records_.empty()) return testing::answerWith({});
    DriverRecord record = records_.front();
    records_.pop_front();
    return testing::answerWith(encodeDriverRecord(record));
  }

  const std::uint32_t version_;
  std::mutex mutex_;
  std::deque<DriverRecord> records_;  // guarded by mutex_
  int failures_ = 0;                  // guarded by mutex_
  std::unique_ptr<NamedEvent> event_;
  testing::ScriptedDriver driver_;
};

// The testing agent, metering by the driver, with its workers checked every second.
std::unique_ptr<AgentProcess> startAgent(const Installation& installation) {
  meterByDriver(installation);
  testing::writeFile(
      installation.confFile(),
      withinTarnwickSection(testing::readFile(installation.confFile()),
                            "testing() = \"\" { check-period(TimeSpan) = PT1S {} }"));
  return std::make_unique<AgentProcess>(std::vector<std::string>{}, std::vector<std::string>{},
                                        TESTING_TARNWICK_PATH);
}

bool logHas(const Installation& installation, const std::string& line, std::size_t times = 1) {
  return waitUntil([&] { return countOf(installation.log(), line) >= times; }, 60s);
}

// The testing agent, once connected to a driver whose event is made: null if it does not.
std::unique_ptr<AgentProcess> startConnected(const Installation& installation, TestDriver& driver) {
  driver.createEvent();
  std::unique_ptr<AgentProcess> agent = startAgent(installation);
  if (!tracing(installation)) agent.reset();
  return agent;
}

TEST(DriverTest, TheRecordsOfOneSignalAreTakenInOneWaitAndMeteredFromTheProcesses) {
  Installation installation;
  TestDriver driver;
  std::unique_ptr<AgentProcess> agent = startConnected(installation, driver);
  ASSERT_TRUE(agent) << installation.log();
  // A signal with nothing queued.
  std::size_t falseAlarms = countOf(installation.log(), "   False alarm. No data received.");
  driver.signal();
  ASSERT_TRUE(logHas(installation, "   False alarm. No data received.", falseAlarms + 1));

  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-by-driver");
  std::vector<pid_t> pids;
  for (int i = 0; i < 3; ++i) pids.push_back(spawn(sleeper, "60"));
  std::size_t requestsBefore = driver.eventRequests();
  std::size_t wakes = countOf(installation.log(), "registered a process event.");
  driver.queue(pids, DriverRecordKind::kCreated);
  driver.signal();
  ASSERT_TRUE(logHas(installation, "logStartProcess: Application \"metered-by-driver\"", 3));
  EXPECT_TRUE(logHas(installation, "   False alarm. No data received.", falseAlarms + 2));
  EXPECT_EQ(driver.eventRequests(), requestsBefore + 4);  // three records, then the empty queue
  EXPECT_EQ(countOf(installation.log(), "registered a process event."), wakes + 1);

  for (pid_t pid : pids) {
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
  }
  // An end the map has never seen a start of is passed on all the same.
  driver.queue({pids[0], pids[1], pids[2], 0x3ffffff0}, DriverRecordKind::kEnded);
  driver.signal();
  ASSERT_TRUE(logHas(installation, "logEndProcess: Application \"metered-by-driver\"", 3));
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, *agent), "metered-by-driver");
  ASSERT_EQ(records.size(), 3u);
  for (const UsageRecord& record : records) {
    EXPECT_EQ(record.fields[6] + "metered-by-driver", sleeper);
    // Read from the processes themselves: this driver tells nothing beyond its records.
    EXPECT_TRUE(record.user().ends_with("\\" + userName())) << record.user();
  }
}

// The end of a process that ended just before a delivery reaches the agent after it (it was
// in transit, or the source was down): the process ends at the delivery, with its status.
TEST(DriverTest, AProcessThatEndedBeforeADeliveryIsRecordedOnceByItsLateEnd) {
  Installation installation;
  TestDriver driver;
  std::unique_ptr<AgentProcess> agent = startConnected(installation, driver);
  ASSERT_TRUE(agent) << installation.log();
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-late-end");
  pid_t pid = spawn(sleeper, "60");
  driver.queue({pid}, DriverRecordKind::kCreated);
  driver.signal();
  ASSERT_TRUE(logHas(installation, "logStartProcess: Application \"metered-late-end\""));
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
  auto ended = std::chrono::system_clock::now();
  std::time_t endedSecond = std::chrono::system_clock::to_time_t(ended);
  ASSERT_TRUE(waitUntil([&] { return std::time(nullptr) > endedSecond; }, 2s));
  // The delivery comes before the end's record: an interim record now would count it as
  // still running, and the end would count it again.
  vantorctl("send TARNWICKDUMP");
  driver.queue({pid}, DriverRecordKind::kEnded, ended);
  driver.signal();
  ASSERT_TRUE(logHas(installation, "logEndProcess: Application \"metered-late-end\""));
  std::vector<UsageRecord> records =
      recordsOf(stopAndCollect(installation, *agent), "metered-late-end");
  ASSERT_EQ(records.size(), 1u) << installation.log();
  EXPECT_EQ(records[0].second.substr(0, 2), "1:");
  EXPECT_EQ(records[0].start + records[0].duration(), static_cast<long long>(endedSecond));
  EXPECT_NE(records[0].exitCode(), "none");
}

TEST(DriverTest, WithoutADriverTheAgentTakesTheKernelsEventsOrPolls) {
  Installation installation;
  meterByDriver(installation);
  AgentProcess agent;
  ASSERT_TRUE(logHas(installation, "A communication channel could not be opened"));
  // As root the kernel's events; otherwise polls, as without the right to listen to them.
  EXPECT_TRUE(logHas(installation, ::getuid() == 0 ? "Native event tracer is now running."
                                                   : "the process table is polled instead"))
      << installation.log();
  EXPECT_EQ(countOf(installation.log(), "START THREAD KernelDriverTracer"), 0u);
  EXPECT_TRUE(agent.running());
}

TEST(DriverTest, ADriverOfAnotherVersionIsFatalBeforeTheQuitEventIsMade) {
  Installation installation;
  TestDriver driver(99);
  driver.createEvent();
  std::unique_ptr<AgentProcess> agent = startAgent(installation);
  EXPECT_EQ(agent->exitStatus(30s), 1) << installation.log();
  std::string log = installation.log();
  EXPECT_EQ(
      countOf(log, "The kernel driver speaks interface version 99; this agent needs version 100."),
      1u)
      << log;
  EXPECT_EQ(countOf(log, kShutDown), 1u);
  EXPECT_FALSE(
      fileExists(installation.dir().file(std::string("run/event/") + kDriverQuitEventName)));
}

TEST(DriverTest, OneFailedReadIsForgivenButTwoInARowLoseTheDriverUntilItAnswersAgain) {
  Installation installation;
  TestDriver driver;
  std::unique_ptr<AgentProcess> agent = startConnected(installation, driver);
  ASSERT_TRUE(agent) << installation.log();
  const std::string failure = "Could not read an event from the kernel driver";
  driver.failReads(1);
  driver.signal();
  ASSERT_TRUE(logHas(installation, failure, 1));
  // The read after it succeeds: the streak ends, and the checks go on finding it well.
  ASSERT_TRUE(logHas(installation, "   False alarm. No data received.", 2));
  waitForMore(installation, "Check: Finished checking threads.", 2);
  EXPECT_TRUE(agent->running());

  driver.failReads(2);
  driver.signal();
  ASSERT_TRUE(logHas(installation, "The kernel driver was lost")) << installation.log();
  ASSERT_TRUE(logHas(installation, "The kernel driver is back")) << installation.log();
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-after-loss");
  pid_t pid = spawn(sleeper, "60");
  driver.queue({pid}, DriverRecordKind::kCreated);
  driver.signal();
  EXPECT_TRUE(logHas(installation, "logStartProcess: Application \"metered-after-loss\""))
      << installation.log();
  EXPECT_TRUE(agent->running());
  EXPECT_EQ(countOf(installation.log(), kShutDown), 0u);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(DriverTest, ALateDriverEventIsFoundAndAQuitEventFromOutsideEndsTheSource) {
  Installation installation;
  TestDriver driver;
  std::unique_ptr<AgentProcess> agent = startAgent(installation);
  ASSERT_TRUE(
      logHas(installation, "Kernel driver tracer failed to connect. Will try again in 5 seconds."));
  driver.createEvent();
  ASSERT_TRUE(tracing(installation)) << installation.log();

  EXPECT_TRUE(testing::systemEnv().setEvent(kDriverQuitEventName));
  EXPECT_TRUE(logHas(installation, "Kernel driver tracer registered a quit event."));
  EXPECT_TRUE(logHas(installation, "END THREAD KernelDriverTracer"));
  // What follows is the supervision's: it starts the source again, which connects again and
  // meters again.
  EXPECT_TRUE(logHas(installation, kConnected, 2)) << installation.log();
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-after-quit");
  pid_t pid = spawn(sleeper, "60");
  driver.queue({pid}, DriverRecordKind::kCreated);
  driver.signal();
  EXPECT_TRUE(logHas(installation, "logStartProcess: Application \"metered-after-quit\""))
      << installation.log();
  EXPECT_TRUE(agent->running());
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// The connector as the driver's source, as on a kernel that refuses eBPF (the eBPF source has
// tests of its own).
TEST(DriverTest, EveryProcessOfABurstIsMeteredOnceThroughVantorProcdrvOnTheConnector) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 3);
  AgentProcess driver({}, {"--source", "connector"}, VANTOR_PROCDRV_PATH);
  std::string device = installation.dir().file(std::string("run/device/") + kDriverDeviceName);
  ASSERT_TRUE(waitUntil([&] { return fileExists(device); }, 10s)) << driver.errorOutput();
  // One driver per runtime directory, and its device for its own user alone.
  AgentProcess second({}, {}, VANTOR_PROCDRV_PATH);
  EXPECT_EQ(second.exitStatus(10s), 1) << second.errorOutput();
  struct stat status {};
  ASSERT_EQ(::stat(device.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 077, 0u);

  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  expectEachMeteredOnce(installation, agent, 1000);

  ::kill(driver.pid(), SIGTERM);
  EXPECT_EQ(driver.exitStatus(10s), 0);
  EXPECT_EQ(countOf(driver.errorOutput(), "events from the kernel's process connector."), 1u)
      << driver.errorOutput();
  EXPECT_EQ(countOf(driver.errorOutput(), " 0 dropped,"), 1u) << driver.errorOutput();
  // Nothing is left that would pass for a driver that runs.
  EXPECT_FALSE(fileExists(device));
  EXPECT_FALSE(
      fileExists(installation.dir().file(std::string("run/event/") + kDriverProcessEventName)));
}

TEST(DriverTest, ADriverThatDropsRecordsSaysHowManyAndTheRescanFindsWhatStillRuns) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByDriver(installation, 2);
  AgentProcess driver({}, {"--queue-size", "16"}, VANTOR_PROCDRV_PATH);
  std::string sleeper = copyOf(installation, "/bin/sleep", "metered-survivor");
  std::string program = copyOf(installation, EXIT_WITH_PATH, "exit_with");
  ASSERT_TRUE(waitUntil(
      [&] { return fileExists(installation.dir().file("run/device/VantorLicDrv")); }, 10s));
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  // A burst the small queue cannot hold while the agent is held up, with survivors among the
  // short ones.
  ::kill(agent.pid(), SIGSTOP);
  std::vector<pid_t> survivors = burstWithSurvivors(program, sleeper);
  ::kill(agent.pid(), SIGCONT);
  EXPECT_TRUE(rescanFoundEach(installation, survivors.size()));
  for (pid_t survivor : survivors) ::kill(survivor, SIGKILL);
  for (pid_t survivor : survivors) ::waitpid(survivor, nullptr, 0);
  stopAndCollect(installation, agent);
  ::kill(driver.pid(), SIGTERM);
  ASSERT_EQ(driver.exitStatus(10s), 0);
  // What the agent was told it missed, against what the driver dropped: every process of the
  // machine passes through the driver, so it may have dropped more after the agent had gone.
  static const std::regex told(R"(The kernel driver lost (\d+) process events)");
  static const std::regex dropped(R"((\d+) dropped,)");
  long long missed = sumOfMatches(installation.log(), told);
  std::smatch total;
  std::string output = driver.errorOutput();
  ASSERT_TRUE(std::regex_search(output, total, dropped)) << output;
  EXPECT_GT(missed, 0);
  EXPECT_LE(missed, std::stoll(total[1]));
}

}  // namespace
}  // namespace Vantor::integration
