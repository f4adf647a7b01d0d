// Metering from vantor-procdrv's eBPF program, end to end: every run of a burst at the
// machine's top rate has exactly one record with its canonical path, real user and status; a
// pid used again within a tick gives two records; a ring buffer too small loses records,
// counts each, and the repair leaves nothing lingering.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <thread>

#include "integration/Harness.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::waitUntil;

constexpr uid_t kNobody = 65534;
constexpr char kStillRunning[] = "none";

// An installation metered through vantor-procdrv on its eBPF program: the driver, and the agent
// once it takes the driver's events.
class KernelProgramTest : public ::testing::Test {
 protected:
  // False, with the reason in refusal_, when this user, kernel or build refuses eBPF.
  bool startMetering(std::vector<std::string> driverArguments, int debugLevel) {
    if (::getuid() != 0) {
      refusal_ = "loading eBPF needs root";
      return false;
    }
    meterByDriver(installation_, debugLevel);
    driverArguments.insert(driverArguments.begin(), {"--source", "bpf"});
    driver_ = std::make_unique<AgentProcess>(std::vector<std::string>{}, driverArguments,
                                             VANTOR_PROCDRV_PATH);
    bool ended = !waitUntil(
        [&] {
          return driver_->errorOutput().find(" serving ") != std::string::npos ||
                 !driver_->running();
        },
        30s);
    if (ended || !driver_->running()) {
      refusal_ = driver_->errorOutput();
      return false;
    }
    agent_ = std::make_unique<AgentProcess>();
    EXPECT_TRUE(tracing(installation_)) << installation_.log();
    return true;
  }

  Installation installation_;
  std::string refusal_;
  std::unique_ptr<AgentProcess> driver_;
  std::unique_ptr<AgentProcess> agent_;
};

// A program the test starts, and what its record must say.
struct PlannedRun {
  std::vector<std::string> argv;  // argv[0] is what is executed
  bool fromItsFolder = false;     // run by a relative name, from the folder it is in
  uid_t user = 0;
  std::string path;  // canonical
  std::string status;
};

// Starts run and waits for it. Only what is safe between fork and exec happens in the child.
void start(const PlannedRun& run, const std::string& folder) {
  std::vector<char*> argv;
  for (const std::string& argument : run.argv) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = ::fork();
  if (child == 0) {
    if (run.fromItsFolder && ::chdir(folder.c_str()) != 0) ::_exit(126);
    if (run.user != 0 && (::setgid(run.user) != 0 || ::setuid(run.user) != 0)) ::_exit(126);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
}

std::string canonical(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  std::string canonicalPath = resolved != nullptr ? resolved : path;
  std::free(resolved);
  return canonicalPath;
}

// The runs of a burst: most exit with a status of their own; among them some are ended by a
// signal, some run by a relative name, some through a symbolic link, some as nobody, and some
// replaced at once by the program a second thread runs.
std::vector<PlannedRun> planBurst(const Installation& installation, int runs) {
  std::string folder = canonical(installation.dir().path());
  std::string program = copyOf(installation, EXIT_WITH_STATIC_PATH, "exit_with");
  ::chmod(program.c_str(), 0755);
  std::vector<std::string> links = linksOf(installation, program, "run", runs);
  const int kSignals[] = {SIGTERM, SIGKILL, SIGSEGV};
  std::vector<PlannedRun> plan;
  for (int i = 0; i < runs; ++i) {
    PlannedRun run;
    std::string name = "run-" + std::to_string(i);
    run.path = folder + "/" + name;
    run.argv = {run.path};
    int status = i % 200;
    switch (i % 20) {
      case 0:
        status = 128 + kSignals[i / 20 % 3];
        run.argv.push_back(std::to_string(128 - status));
        break;
      case 1:
        run.argv = {"./" + name, std::to_string(status)};
        run.fromItsFolder = true;
        break;
      case 2: {
        std::string alias = folder + "/alias-" + std::to_string(i);
        EXPECT_EQ(::symlink(name.c_str(), alias.c_str()), 0);
        run.argv = {alias, std::to_string(status)};
        break;
      }
      case 3:
        run.user = kNobody;
        run.argv.push_back(std::to_string(status));
        break;
      case 4: {
        // This one, then the next link in its process: the first's record ends as replaced.
        std::string next = folder + "/run-" + std::to_string(i + 1);
        run.argv = {run.path, "thread-exec-now", next, std::to_string(status)};
        run.status = kStillRunning;
        plan.push_back(run);
        PlannedRun replacement;
        replacement.path = next;
        replacement.status = std::to_string(status);
        plan.push_back(replacement);
        ++i;
        continue;
      }
      default:
        run.argv.push_back(std::to_string(status));
        break;
    }
    run.status = std::to_string(status);
    plan.push_back(run);
  }
  return plan;
}

// Starts every run of plan that has a command line, from two threads: the machine's top rate.
double runBurst(const std::vector<PlannedRun>& plan, const std::string& folder) {
  auto began = std::chrono::steady_clock::now();
  auto half = [&](std::size_t first) {
    for (std::size_t i = first; i < plan.size(); i += 2) {
      if (!plan[i].argv.empty()) start(plan[i], folder);
    }
  };
  std::thread other(half, 1);
  half(0);
  other.join();
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
  return static_cast<double>(plan.size()) / took.count();
}

TEST_F(KernelProgramTest, EveryRunOfABurstHasOneRecordWithItsCanonicalPathRealUserAndStatus) {
  if (!startMetering({}, 0)) GTEST_SKIP() << "no eBPF here: " << refusal_;
  ::chmod(installation_.dir().path().c_str(), 0755);
#ifdef TARNWICK_SANITIZED
  constexpr int kRuns = 4000;
#else
  constexpr int kRuns = 20000;
#endif
  std::vector<PlannedRun> plan = planBurst(installation_, kRuns);
  double rate = runBurst(plan, canonical(installation_.dir().path()));
  std::printf("%zu programs at %.0f a second\n", plan.size(), rate);
  awaitEventsHandled(installation_);
  std::vector<std::string> files = stopAndCollect(installation_, *agent_);

  std::map<std::string, std::string> statusOf;
  for (const PlannedRun& run : plan) statusOf[run.path] = run.status;
  // No record without its name, none missing, none twice.
  expectOneRecordEach(files, statusOf, 0);
  std::map<std::string, std::string> userOf;
  for (const PlannedRun& run : plan) userOf[run.path] = run.user == kNobody ? "nobody" : userName();
  for (const UsageRecord& record : allRecords(files)) {
    auto user = userOf.find(record.fields[6] + record.file());
    if (user == userOf.end()) continue;
    EXPECT_TRUE(record.user().ends_with("\\" + user->second))
        << user->first << " " << record.user();
  }
  ::kill(driver_->pid(), SIGTERM);
  EXPECT_EQ(driver_->exitStatus(10s), 0);
  EXPECT_EQ(countOf(driver_->errorOutput(), " 0 without room,"), 1u) << driver_->errorOutput();
}

// Starts the program in the file descriptor fd with its argument, and waits for it.
void runFromDescriptor(int fd, const char* argument) {
  pid_t child = ::fork();
  if (child == 0) {
    char* argv[] = {const_cast<char*>("memory-program"), const_cast<char*>(argument), nullptr};
    ::fexecve(fd, argv, environ);
    ::_exit(127);
  }
  ::waitpid(child, nullptr, 0);
}

TEST_F(KernelProgramTest, ProgramsOfOddNamesAndPlacesAreNamedAsTheKernelNamesThemAndReported) {
  if (!startMetering({}, 0)) GTEST_SKIP() << "no eBPF here: " << refusal_;
  std::string folder = canonical(installation_.dir().path());
  std::string program = copyOf(installation_, EXIT_WITH_STATIC_PATH, "exit_with");
  // A name no report could index as it is: 200 bytes that are no UTF-8, 600 as stored.
  std::string wide = folder + "/" + std::string(200, '\xff');
  ASSERT_EQ(::link(program.c_str(), wide.c_str()), 0);
  run(wide, {"21"});
  // A backslash is part of a Unix name, not a separator.
  std::string backslashed = folder + "/back\\slash";
  ASSERT_EQ(::link(program.c_str(), backslashed.c_str()), 0);
  run(backslashed, {"22"});
  // A file of no folder: the kernel names it "/memfd:NAME (deleted)".
  int memory = ::memfd_create("tarnwick-memory", MFD_CLOEXEC);
  ASSERT_GE(memory, 0);
  std::string content = testing::readFile(program);
  ASSERT_EQ(::write(memory, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  runFromDescriptor(memory, "23");
  ::close(memory);
  // A folder a hundred deep.
  std::string deep = folder;
  for (int level = 0; level < 100; ++level) {
    deep += "/d";
    ASSERT_EQ(::mkdir(deep.c_str(), 0755), 0);
  }
  ASSERT_EQ(::link(program.c_str(), (deep + "/deep").c_str()), 0);
  run(deep + "/deep", {"24"});
  awaitEventsHandled(installation_);
  std::vector<std::string> files = stopAndCollect(installation_, *agent_);

  std::map<std::string, const UsageRecord*> byStatus;
  std::vector<UsageRecord> records = allRecords(files);
  for (const UsageRecord& record : records) byStatus[record.exitCode()] = &record;
  ASSERT_TRUE(byStatus.count("21") && byStatus.count("22") && byStatus.count("23") &&
              byStatus.count("24"))
      << installation_.log();
  EXPECT_EQ(byStatus["21"]->fields[6], folder + "/");
  EXPECT_EQ(byStatus["21"]->file(), std::string(200, '\xff'));
  EXPECT_EQ(byStatus["22"]->fields[6], folder + "/");
  EXPECT_EQ(byStatus["22"]->file(), "back\\slash");
  EXPECT_EQ(byStatus["23"]->fields[6], "/");
  EXPECT_EQ(byStatus["23"]->file(), "memfd_tarnwick-memory (deleted)");
  EXPECT_EQ(byStatus["24"]->fields[6], deep + "/");
  EXPECT_EQ(byStatus["24"]->file(), "deep");
  // Every record reaches the reports: none is refused for its names.
  std::string database = installation_.dir().file("usage.db");
  EXPECT_EQ(run(TARNWICK_REPORT_PATH, {"load", "--database", database, installation_.workDir()}),
            0);
}

// Writes pid - 1 as the last pid given out, so that the next fork is given pid, if nothing
// else forks meanwhile.
bool offerPid(pid_t pid) {
  std::ofstream last("/proc/sys/kernel/ns_last_pid");
  last << pid - 1;
  last.flush();
  return last.good();
}

TEST_F(KernelProgramTest, APidUsedAgainWithinTheSameTickGivesTwoRecords) {
  if (!startMetering({}, 0)) GTEST_SKIP() << "no eBPF here: " << refusal_;
  std::string folder = canonical(installation_.dir().path());
  std::string program = copyOf(installation_, EXIT_WITH_STATIC_PATH, "exit_with");
  // Each attempt has its own two names: only the one that got the pid twice, both processes
  // started within one tick of the start stamps, is checked. The two then have the same pid
  // and the same stamp, and only the start to the nanosecond tells them apart.
  std::optional<int> reused;
  for (int attempt = 0; attempt < 200 && !reused; ++attempt) {
    std::string first = folder + "/first-" + std::to_string(attempt);
    std::string second = folder + "/second-" + std::to_string(attempt);
    ASSERT_EQ(::link(program.c_str(), first.c_str()), 0);
    ASSERT_EQ(::link(program.c_str(), second.c_str()), 0);
    std::uint64_t began = testing::systemEnv().processStartStampNow();
    // Spawned, not forked: the fork of a large test process (under a sanitizer) takes longer
    // than a tick.
    pid_t pid = spawn(first, "3");
    ::waitpid(pid, nullptr, 0);
    if (!offerPid(pid)) GTEST_SKIP() << "the last pid cannot be set here";
    pid_t again = spawn(second, "4");
    ::waitpid(again, nullptr, 0);
    if (again == pid && testing::systemEnv().processStartStampNow() == began) reused = attempt;
  }
  ASSERT_TRUE(reused) << "no pid was given out twice within a tick";
  awaitEventsHandled(installation_);
  std::vector<std::string> files = stopAndCollect(installation_, *agent_);
  std::string suffix = "-" + std::to_string(*reused);
  expectOneRecordEach(files,
                      {{folder + "/first" + suffix, "3"}, {folder + "/second" + suffix, "4"}}, 0);
}

TEST_F(KernelProgramTest, ARingBufferTooSmallCountsEachRecordLostAndTheRepairLeavesNoneBehind) {
  if (!startMetering({"--ring-size", "16384"}, 2)) GTEST_SKIP() << "no eBPF here: " << refusal_;
  std::string sleeper = copyOf(installation_, "/bin/sleep", "metered-survivor");
  std::string program = copyOf(installation_, EXIT_WITH_STATIC_PATH, "exit_with");
  // The driver is held while a burst fills its ring: what does not fit is lost in the kernel.
  ::kill(driver_->pid(), SIGSTOP);
  std::vector<pid_t> survivors = burstWithSurvivors(program, sleeper);
  ::kill(driver_->pid(), SIGCONT);
  EXPECT_TRUE(rescanFoundEach(installation_, survivors.size()));
  for (pid_t survivor : survivors) ::kill(survivor, SIGKILL);
  for (pid_t survivor : survivors) ::waitpid(survivor, nullptr, 0);
  stopAndCollect(installation_, *agent_);
  ::kill(driver_->pid(), SIGTERM);
  ASSERT_EQ(driver_->exitStatus(10s), 0);
  std::string output = driver_->errorOutput();
  std::smatch tally;
  ASSERT_TRUE(std::regex_search(
      output, tally, std::regex(R"(offered (\d+) records: (\d+) read, (\d+) without room)")))
      << output;
  long long offered = std::stoll(tally[1]);
  long long read = std::stoll(tally[2]);
  long long withoutRoom = std::stoll(tally[3]);
  // Every record the kernel offered was read or counted.
  EXPECT_GT(withoutRoom, 0);
  EXPECT_EQ(offered, read + withoutRoom);
  // The agent was told of every loss the driver counted while it read.
  std::smatch counted;
  ASSERT_TRUE(
      std::regex_search(output, counted, std::regex(R"((\d+) dropped, (\d+) lost in the kernel)")))
      << output;
  long long told =
      sumOfMatches(installation_.log(), std::regex(R"(The kernel driver lost (\d+) process)"));
  EXPECT_EQ(told, std::stoll(counted[1]) + std::stoll(counted[2]));
  EXPECT_GT(told, 0);
}

}  // namespace
}  // namespace Vantor::integration
