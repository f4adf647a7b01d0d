#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "platform/ErrorCodes.h"
#include "platform/Thread.h"
#include "sources/ProcessPoller.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"
#include "usage/ProcessMap.h"

extern char** environ;

namespace Vantor {
namespace {

using testing::LogCapture;
using testing::readFile;

class ProcessMapTest : public ::testing::Test {
 protected:
  ProcessMapTest()
      : logger_(capture_.sender(), kModuleTarnwick),
        finder_(testing::systemEnv(), logger_, logger_),
        streams_(testing::systemEnv(), capture_.sender()),
        map_(testing::systemEnv(), logger_, finder_, accounts_, primeTime_, streams_,
             {"WORKGROUP", "pc17", "amd64", "Test System"}) {
    setDebugLevel(5);
    streams_.registerLogFile(capture_.dir().file("ProcessLog"), "process", TimeSpan(3600), false,
                             nullptr);
    std::filesystem::create_directories(capture_.dir().file("c:d"));
    sleeper_ = capture_.dir().file("c:d/a:b");
    std::filesystem::copy_file("/bin/sleep", sleeper_);
  }
  ~ProcessMapTest() override {
    for (pid_t child : children_) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }

  pid_t spawn() { return spawn(sleeper_); }
  pid_t spawn(std::string path) {
    pid_t child = 0;
    char* argv[] = {path.data(), const_cast<char*>("30"), nullptr};
    EXPECT_EQ(::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
    children_.insert(child);
    return child;
  }
  void end(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    children_.erase(child);
  }
  ProcessRef started(pid_t child, const DateTime& start) {
    auto process = std::make_shared<Process>(testing::systemEnv(),
                                             static_cast<std::uint32_t>(child), &start, true);
    EXPECT_FALSE(Process::isUnknown(process->executable()));
    return process;
  }
  ProcessRef endEvent(pid_t child, const DateTime& end) {
    auto process = std::make_shared<Process>(testing::systemEnv(),
                                             static_cast<std::uint32_t>(child), nullptr, false);
    process->setEndTime(end);
    return process;
  }
  // The record lines delivered since the last call.
  std::vector<std::string> delivered() {
    streams_.deliverAll(false);
    std::vector<std::string> lines;
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(capture_.dir().path())) {
      std::string name = entry.path().filename().string();
      if (name.ends_with(".data") && seen_.insert(name).second) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      std::istringstream content(readFile(capture_.dir().file(name)));
      for (std::string line; std::getline(content, line);) lines.push_back(line);
    }
    return lines;
  }

  LogCapture capture_;
  LoggerUnit logger_;
  ExeFinder finder_;
  Accounts accounts_{testing::systemEnv()};
  PrimeTime primeTime_;
  DataStreams streams_;
  ProcessMap map_;
  std::string sleeper_;
  std::set<pid_t> children_;
  std::set<std::string> seen_;
};

TEST_F(ProcessMapTest, ARunningProcessGetsAnInterimRecordAtADumpAndAFinalOneAtItsEnd) {
  pid_t child = spawn();
  DateTime start = DateTime() - TimeSpan(10);
  ProcessRef process = started(child, start);
  map_.logProcess(process);
  ASSERT_EQ(map_.size(), 1u);
  map_.dumpAll();
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  std::string user = process->fullUserName();
  EXPECT_EQ(lines[0], "1:" + std::to_string(start.getValue()) +
                          ":31:0:WORKGROUP:0:pc17:0:amd64:0:Test System:0:a_b:0:a_b:0:" +
                          capture_.dir().path() + "/c_d/:0:undef:0:" + user + ":0:none");
  EXPECT_EQ(user.rfind("\\\\", 0), 0u);
  ASSERT_EQ(lines[1].substr(0, 2), "1:");
  std::int32_t interim = std::stoi(lines[1].substr(2));
  EXPECT_GE(interim, 10);
  EXPECT_LE(interim, 12);

  end(child);
  DateTime finish;
  map_.logProcess(endEvent(child, finish));
  EXPECT_EQ(map_.size(), 0u);
  lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(":0:0")) << lines[0];
  ASSERT_EQ(lines[1].substr(0, 2), "0:");
  // The dump started a new interval: the two records do not overlap.
  EXPECT_EQ(interim + std::stoi(lines[1].substr(2)), finish.getValue() - start.getValue());

  map_.dumpAll();
  EXPECT_TRUE(delivered().empty());
  EXPECT_TRUE(capture_.contains("All processes has now been dumped."));
}

TEST_F(ProcessMapTest, AnEndBeforeItsStartWritesOneRecordButAStaleEndIsDropped) {
  pid_t early = spawn();
  DateTime start = DateTime() - TimeSpan(20);
  DateTime end = DateTime() - TimeSpan(5);
  map_.logProcess(endEvent(early, end));
  EXPECT_EQ(map_.endedCount(), 1u);
  EXPECT_TRUE(delivered().empty());
  map_.logProcess(started(early, start));
  EXPECT_EQ(map_.size(), 0u);
  EXPECT_EQ(map_.endedCount(), 0u);
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "1:15");

  // The end event of an earlier process of the same pid: the new process is metered.
  pid_t reused = spawn();
  map_.logProcess(endEvent(reused, DateTime() - TimeSpan(100)));
  map_.logProcess(started(reused, DateTime() - TimeSpan(2)));
  EXPECT_EQ(map_.size(), 1u);
  EXPECT_EQ(map_.endedCount(), 0u);
  EXPECT_TRUE(delivered().empty());
  EXPECT_TRUE(capture_.contains("Dropping stale stop-event"));
}

TEST_F(ProcessMapTest, ImpossibleTimesAndIgnoredExecutablesWriteNothing) {
  pid_t child = spawn();
  DateTime start;
  map_.logProcess(started(child, start));
  map_.logProcess(endEvent(child, start - TimeSpan(1)));
  EXPECT_TRUE(capture_.contains("(2.08.28)"));
  EXPECT_EQ(map_.size(), 0u);
  EXPECT_TRUE(delivered().empty());

  map_.logProcess(started(child, DateTime() + TimeSpan(100)));
  EXPECT_TRUE(capture_.contains("(2.08.26)"));
  map_.dumpAll();
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_LE(std::stoi(lines[1].substr(2)), 1);  // started "now", not in the future

  ExeFinder::Mappings mappings;
  ExeFinder::parseMappings("ignore\n{\nA:B\n}\n", &mappings);
  finder_.setMappings(mappings);
  pid_t ignored = spawn();
  map_.logProcess(started(ignored, DateTime()));
  EXPECT_EQ(map_.size(), 1u);  // only the one before
  EXPECT_TRUE(capture_.contains("logStartProcess: Ignoring this process."));
}

TEST_F(ProcessMapTest, AStartForAPidWhoseProcessEndedUnseenEndsTheOldOne) {
  pid_t child = spawn();
  ProcessRef old = started(child, DateTime() - TimeSpan(30));
  map_.logProcess(old);
  end(child);
  // A later process under the same id, as a source would report it.
  auto later = std::make_shared<Process>(testing::systemEnv(), static_cast<std::uint32_t>(child),
                                         nullptr, false);
  later->setState(ProcessState::Started);
  ASSERT_TRUE(map_.addProcess(later));
  EXPECT_TRUE(capture_.contains("(2.08.25)"));
  EXPECT_EQ(map_.size(), 1u);
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(":0:0"));
}

TEST_F(ProcessMapTest, TheLateStartOfAProgramTheProcessHasLeftIsRecordedAloneAndReplacesNothing) {
  // A listing read the program the process runs now; then the event of the one it ran before
  // came (a shell that ran it with exec, say).
  pid_t child = spawn();
  // Read once its program is in place: a reading in the middle of the exec finds no mark.
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        auto opened = testing::systemEnv().openProcess(static_cast<std::uint32_t>(child), 0);
        std::uint64_t mark = 0;
        return opened && opened.value()->programMark(&mark) && mark != 0;
      },
      std::chrono::seconds(5)));
  DateTime start = DateTime() - TimeSpan(5);
  map_.logProcess(started(child, start));
  ProcessEvent before;
  before.state = ProcessState::Started;
  before.time = start;
  before.pid = static_cast<std::uint32_t>(child);
  before.image = capture_.dir().file("c:d/shell");
  map_.logProcess(std::make_shared<Process>(testing::systemEnv(), before));
  EXPECT_EQ(map_.size(), 1u);
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(":0:shell:0:shell:"), std::string::npos) << lines[0];
  EXPECT_TRUE(lines[0].ends_with(":0:none")) << lines[0];
  EXPECT_EQ(lines[1], "1:0");

  end(child);
  map_.logProcess(endEvent(child, DateTime()));
  lines = delivered();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(":0:a_b:0:a_b:"), std::string::npos) << lines[0];
}

TEST_F(ProcessMapTest, TheLockOfAKilledHolderIsRenewedAndAbsentPidsLeaveItFree) {
  EXPECT_FALSE(map_.contains(4242));
  std::thread([&] {
    ProcessMap::Hold hold(map_);
    ASSERT_TRUE(hold.take("test"));
  }).join();

  std::uint32_t holder = 0;
  std::optional<ProcessMap::Hold> killed;
  std::thread([&] {
    killed.emplace(map_);
    ASSERT_TRUE(killed->take("test"));
    holder = platform::currentThreadId();
  }).join();  // ends holding the map, as a killed worker would
  map_.renewIfOwnedBy(holder);
  pid_t child = spawn();
  map_.logProcess(started(child, DateTime()));
  EXPECT_EQ(map_.size(), 1u);
}

TEST_F(ProcessMapTest, AHolderGivenUpForDeadButStillRunningKeepsTheLock) {
  std::atomic<std::uint32_t> holder{0};
  std::atomic<bool> leave{false};
  std::thread stubborn([&] {
    ProcessMap::Hold hold(map_);
    ASSERT_TRUE(hold.take("test"));
    holder = platform::currentThreadId();
    while (!leave.load()) std::this_thread::yield();  // no cancellation point: a kill waits
  });
  while (holder.load() == 0) std::this_thread::yield();
  map_.renewIfOwnedBy(holder.load());  // supervision counted it killed
  leave = true;
  stubborn.join();
  EXPECT_FALSE(capture_.contains("RELAX FAILED")) << "the lock was taken from a live holder";
  std::thread([&] {
    ProcessMap::Hold hold(map_);
    ASSERT_TRUE(hold.take("test"));
  }).join();
}

TEST_F(ProcessMapTest, EndEventsThatWaitTooLongAreDropped) {
  DateTime now;
  map_.logProcess(endEvent(999991, now - TimeSpan(ProcessMap::kEndedProcessMaxAgeSeconds + 1)));
  map_.logProcess(endEvent(999992, now - TimeSpan(10)));
  EXPECT_EQ(map_.endedCount(), 2u);
  map_.pruneEndedProcesses(now);
  EXPECT_EQ(map_.endedCount(), 1u);
}

TEST_F(ProcessMapTest, DumpsWhileProcessesEndKeepEveryIntervalOnce) {
  constexpr int kProcesses = 6;
  std::vector<pid_t> pids;
  DateTime start = DateTime() - TimeSpan(50);
  for (int i = 0; i < kProcesses; ++i) {
    std::string tool = capture_.dir().file("tool" + std::to_string(i));
    std::filesystem::copy_file("/bin/sleep", tool);
    pids.push_back(spawn(tool));
    map_.logProcess(started(pids.back(), start));
  }
  std::atomic<bool> ending{true};
  std::thread dumper([&] {
    while (ending.load()) map_.dumpAll();
  });
  std::map<std::string, DateTime> ends;
  for (int i = 0; i < kProcesses; ++i) {
    end(pids[i]);
    DateTime finish;
    ends.emplace("tool" + std::to_string(i), finish);
    map_.logProcess(endEvent(pids[i], finish));
  }
  ending.store(false);
  dumper.join();
  EXPECT_EQ(map_.size(), 0u);

  // Per executable: one first record, the exit code in the last one, and intervals that add
  // up. (Dumps between a kill and its end event already read the exit code.)
  struct Seen {
    std::int64_t total = 0;
    int firsts = 0;
    bool finalWasLast = false;
  };
  std::map<std::string, Seen> seen;
  std::vector<std::string> lines = delivered();
  ASSERT_EQ(lines.size() % 2, 0u);
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    std::string fields = lines[i].substr(lines[i].find(":31:0:") + 6);
    for (int skip = 0; skip < 4; ++skip) fields = fields.substr(fields.find(":0:") + 3);
    Seen& tool = seen[fields.substr(0, fields.find(":0:"))];
    tool.total += std::stoll(lines[i + 1].substr(2));
    tool.firsts += lines[i + 1].rfind("1:", 0) == 0 ? 1 : 0;
    tool.finalWasLast = lines[i].ends_with(":0:0");
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kProcesses));
  for (const auto& [tool, record] : seen) {
    // A dump that falls between an end and its event counts up to the dump, at most the
    // second it took.
    std::int64_t expected = ends.at(tool).getValue() - start.getValue();
    EXPECT_GE(record.total, expected) << tool;
    EXPECT_LE(record.total, expected + 1) << tool;
    EXPECT_EQ(record.firsts, 1) << tool;
    EXPECT_TRUE(record.finalWasLast) << tool;
  }
}

}  // namespace
}  // namespace Vantor

namespace Vantor {
namespace {

TEST_F(ProcessMapTest, DumpsWhileThePollerEndsProcessesLoseAndShareNothing) {
  setDebugLevel(1);
  ProcessPoller poller(testing::systemEnv(), logger_, map_, finder_);
  poller.configure(TimeSpan(2), EventSource::kNone, true);
  std::vector<pid_t> sleepers;
  for (int i = 0; i < 12; ++i) {
    std::string copy = capture_.dir().file("sleeper-" + std::to_string(i));
    std::filesystem::copy_file("/bin/sleep", copy);
    sleepers.push_back(spawn(copy));
  }
  poller.pollProcesses(false);
  std::atomic<bool> polling{true};
  std::thread delivery([&] {
    while (polling.load()) map_.dumpAll();
  });
  for (pid_t sleeper : sleepers) {
    end(sleeper);
    poller.pollProcesses(false);
  }
  polling.store(false);
  delivery.join();
  std::map<std::string, int> records;
  std::vector<std::string> lines = delivered();
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
    std::size_t at = lines[i].find(":0:sleeper-");
    if (at == std::string::npos) continue;
    records[lines[i].substr(at + 3, lines[i].find(':', at + 3) - at - 3)]++;
    EXPECT_TRUE(lines[i + 1].starts_with("0:") || lines[i + 1].starts_with("1:")) << lines[i + 1];
  }
  EXPECT_EQ(records.size(), 12u);  // every sleeper has its records
  for (pid_t sleeper : sleepers) {
    EXPECT_FALSE(map_.contains(static_cast<std::uint32_t>(sleeper))) << sleeper;  // ended, gone
  }
}

// Processes that cannot be opened until told, and a name service that takes 2 s an answer.
class SlowNames : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  platform::Expected<std::unique_ptr<platform::ProcessHandle>> openProcess(
      std::uint32_t pid, std::uint64_t startStamp) override {
    if (opens.load()) return target().openProcess(pid, startStamp);
    return platform::Expected<std::unique_ptr<platform::ProcessHandle>>::failure(
        platform::Status::error(platform::kErrorGenFailure));
  }
  platform::Status lookupAccountSid(const std::string& sid, std::string* user,
                                    std::string* domain) override {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return target().lookupAccountSid(sid, user, domain);
  }
  std::atomic<bool> opens{false};
};

TEST_F(ProcessMapTest, AStartThatWaitsOnASlowNameServiceHoldsUpNoOtherEvent) {
  setDebugLevel(1);
  SlowNames slow(testing::systemEnv());
  std::string slowPath = capture_.dir().file("slow-names");
  std::filesystem::copy_file("/bin/sleep", slowPath);
  pid_t slowChild = spawn(slowPath);
  DateTime start;
  auto slowStart =
      std::make_shared<Process>(slow, static_cast<std::uint32_t>(slowChild), &start, true);
  slowStart->setState(ProcessState::Started);
  map_.logProcess(slowStart);  // not readable yet: it waits
  ASSERT_EQ(map_.pendingCount(), 1u);
  slow.opens.store(true);
  std::thread retry([&] { map_.retryPendingStarts(); });  // asks the slow name service
  // A burst of starts and ends of other programs meanwhile; none may wait for the answer.
  std::vector<std::string> burst;
  std::chrono::steady_clock::duration longest{};
  for (int i = 0; i < 20; ++i) {
    burst.push_back(capture_.dir().file("burst-" + std::to_string(i)));
    std::filesystem::copy_file("/bin/sleep", burst.back());
    pid_t child = spawn(burst.back());
    ProcessRef started = this->started(child, DateTime());
    end(child);
    auto before = std::chrono::steady_clock::now();
    map_.logProcess(started);
    map_.logProcess(endEvent(child, DateTime()));
    longest = std::max(longest, std::chrono::steady_clock::now() - before);
  }
  retry.join();
  std::printf("the longest start and end of the burst took %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
  // The map logs each hold of 10 ms or more.
  long long longestHold = 0;
  for (const std::string& line : capture_.lines()) {
    std::size_t at = line.find(" held the process map for ");
    if (at != std::string::npos)
      longestHold = std::max(longestHold, std::stoll(line.substr(at + 26)));
  }
  std::printf(
      "the longest hold of the process map meanwhile: %lld ms (holds under 10 ms are not "
      "logged)\n",
      longestHold);
  end(slowChild);
  map_.logProcess(endEvent(slowChild, DateTime()));
  // Each program has exactly one record, the slow one's too, with its user.
  std::map<std::string, int> records;
  std::vector<std::string> lines = delivered();
  for (std::size_t i = 0; i + 1 < lines.size(); i += 2) {
    for (const std::string& path : burst) {
      if (lines[i].find(":0:" + path.substr(path.rfind('/') + 1) + ":") != std::string::npos) {
        records[path]++;
      }
    }
    if (lines[i].find(":0:slow-names:") != std::string::npos) {
      records[slowPath]++;
      EXPECT_EQ(lines[i].find("<<unknown>>"), std::string::npos) << lines[i];
    }
  }
  for (const std::string& path : burst) EXPECT_EQ(records[path], 1) << path;
  EXPECT_EQ(records[slowPath], 1);
}

}  // namespace
}  // namespace Vantor
