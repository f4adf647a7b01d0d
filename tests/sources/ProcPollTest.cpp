#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <deque>
#include <filesystem>

#include "sources/PollSchedule.h"
#include "sources/ProcPoll.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

extern char** environ;

namespace Vantor {
namespace {

using platform::ListedProcess;
using platform::ProcessId;
using Listings = std::deque<std::vector<ListedProcess>>;

// A process table that lists what the test scripts, one listing per poll.
class ScriptedTable : public platform::ProcessTable {
 public:
  explicit ScriptedTable(Listings* listings) : listings_(listings) {}
  bool list(std::vector<ListedProcess>* processes) override {
    if (listings_->empty()) return false;
    *processes = listings_->front();
    listings_->pop_front();
    return true;
  }
  // The polls read through their reader, never through the table.
  std::unique_ptr<platform::ProcessHandle> open(const ProcessId&) override { return nullptr; }

 private:
  Listings* listings_;
};

constexpr std::uint32_t kVanished = 4194303;  // above any pid the kernel hands out

// Objects that stand for processes without reading them; kVanished is gone before it is read.
ListedProcess running(std::uint32_t pid, std::uint64_t stamp) { return {{pid, stamp}, false, 1}; }
ListedProcess ended(std::uint32_t pid, std::uint64_t stamp) { return {{pid, stamp}, true, 1}; }

ProcPoll scriptedPoll(Listings* listings, int* reads) {
  return ProcPoll(testing::systemEnv(), std::make_unique<ScriptedTable>(listings),
                  [reads](const ProcessId& id, AccountNames*) {
                    ++*reads;
                    if (id.pid == kVanished) return ProcessRef();
                    return std::make_shared<Process>(testing::systemEnv(), id.pid, nullptr, false,
                                                     id.startStamp);
                  });
}

TEST(ProcPollTest, AForkIsPartOfItsParentsRunUntilItStartsAProgramAndOneFoundInItsExitIsLeft) {
  // 11 is a fork of 10's run; 12 a fork that went on to start a program; 13 a fork whose
  // program had ended by the next listing; 14 a program first seen inside its exit.
  auto fork = [](std::uint32_t pid, std::uint64_t program) {
    ListedProcess listed{{pid, pid}, false, program};
    listed.forkOfParent = true;
    return listed;
  };
  auto inExit = [](std::uint32_t pid, std::uint64_t program) {
    ListedProcess listed{{pid, pid}, true, program};
    listed.inExit = true;
    return listed;
  };
  Listings listings{
      {running(10, 10), fork(11, 1), fork(12, 1), fork(13, 1)},
      // The parent ended: its fork is still part of that run.
      {{{11, 11}, false, 1}, {{12, 12}, false, 2}, inExit(13, 3), inExit(14, 4)},
  };
  int reads = 0;
  ProcPoll poll = scriptedPoll(&listings, &reads);
  std::vector<ProcessRef> changes;
  ASSERT_TRUE(poll.poll());
  poll.getPollData(changes, TimeSpan(0));
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0]->pid(), 10u);
  ASSERT_TRUE(poll.poll());
  poll.getPollData(changes, TimeSpan(0));
  std::vector<std::pair<std::uint32_t, ProcessState>> seen;
  for (const ProcessRef& change : changes) seen.emplace_back(change->pid(), change->state());
  EXPECT_EQ(seen, (std::vector<std::pair<std::uint32_t, ProcessState>>{
                      {10, ProcessState::Ended}, {12, ProcessState::Started}}));
}

TEST(ProcPollTest, ChangesAreTheDifferenceOfTheLastTwoSnapshotsByProcess) {
  Listings listings{
      {running(30, 7), running(10, 5), running(20, 6)},
      {running(10, 5), running(20, 6), running(30, 7)},
      // 20 ended; 30 ended and its pid came back for a new process; 40 started; one came
      // and went before it could be read.
      {running(10, 5), running(30, 9), running(40, 8), running(kVanished, 10)},
      {},
  };
  int reads = 0;
  ProcPoll poll = scriptedPoll(&listings, &reads);
  std::vector<ProcessRef> changes;
  ASSERT_TRUE(poll.poll());
  DateTime before = DateTime() - TimeSpan(5);
  poll.getPollData(changes, TimeSpan(5));
  ASSERT_EQ(changes.size(), 3u);
  for (const ProcessRef& change : changes) {
    EXPECT_EQ(change->state(), ProcessState::Started);
    EXPECT_GE(change->startTime(), before);
    EXPECT_LE(change->startTime(), DateTime() - TimeSpan(5));
  }
  EXPECT_EQ(changes[0]->pid(), 10u);  // pid order
  EXPECT_EQ(reads, 3);

  ASSERT_TRUE(poll.poll());
  poll.getPollData(changes, TimeSpan(0));
  EXPECT_TRUE(changes.empty());
  EXPECT_EQ(reads, 3);  // known processes are not read again

  ASSERT_TRUE(poll.poll());
  poll.getPollData(changes, TimeSpan(0));
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_EQ(changes[0]->pid(), 20u);
  EXPECT_EQ(changes[0]->state(), ProcessState::Ended);
  EXPECT_EQ(changes[1]->pid(), 30u);
  EXPECT_EQ(changes[1]->state(), ProcessState::Ended);
  EXPECT_EQ(changes[1]->startStamp(), 7u);  // the old process ends...
  EXPECT_EQ(changes[2]->pid(), 30u);
  EXPECT_EQ(changes[2]->state(), ProcessState::Started);
  EXPECT_EQ(changes[2]->startStamp(), 9u);  // ...and the new one starts
  EXPECT_EQ(changes[3]->pid(), 40u);
  EXPECT_EQ(reads, 6);

  ASSERT_TRUE(poll.poll());
  poll.getPollData(changes, TimeSpan(0));  // an empty table ends all that began
  ASSERT_EQ(changes.size(), 3u);
  for (const ProcessRef& change : changes) EXPECT_NE(change->pid(), kVanished);
  EXPECT_FALSE(poll.poll());  // the table could not be read
}

TEST(ProcPollTest, AProcessEndsWhenItStopsRunningNotWhenItIsCollected) {
  Listings listings{
      {running(10, 5), ended(11, 6)},  // 11 was found ended: started once, to be recorded lost
      {ended(10, 5), ended(11, 6)},    // 10 stopped running, its parent has not collected it
      {ended(10, 5), ended(11, 6)},
      {},  // both collected
  };
  int reads = 0;
  ProcPoll poll = scriptedPoll(&listings, &reads);
  std::vector<ProcessRef> changes;
  std::vector<std::vector<std::pair<std::uint32_t, ProcessState>>> seen;
  while (poll.poll()) {
    poll.getPollData(changes, TimeSpan(0));
    seen.emplace_back();
    for (const ProcessRef& change : changes)
      seen.back().emplace_back(change->pid(), change->state());
  }
  using Changes = std::vector<std::pair<std::uint32_t, ProcessState>>;
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0], (Changes{{10, ProcessState::Started}, {11, ProcessState::Started}}));
  EXPECT_EQ(seen[1], (Changes{{10, ProcessState::Ended}}));
  EXPECT_TRUE(seen[2].empty());
  EXPECT_TRUE(seen[3].empty());
  EXPECT_EQ(reads, 2);
}

#ifndef _WIN32
TEST(ProcPollTest, AScanListsEveryRunningProcess) {
  ProcPoll poll(testing::systemEnv());
  std::vector<ListedProcess> scanned;
  ASSERT_TRUE(poll.scan(scanned));
  auto self = std::find_if(scanned.begin(), scanned.end(), [](const ListedProcess& listed) {
    return listed.id.pid == static_cast<std::uint32_t>(::getpid());
  });
  ASSERT_NE(self, scanned.end());
  EXPECT_FALSE(self->ended);
  ProcessRef own = poll.read(*self);
  EXPECT_EQ(own->state(), ProcessState::Started);
  EXPECT_TRUE(own->executable().ends_with("metering_tests"));
  EXPECT_TRUE(own->isRunning());
  for (const ListedProcess& listed : scanned) EXPECT_NE(listed.id.pid, 0u);
}
#endif

#ifndef _WIN32
TEST(ProcPollTest, AProcessThatRunsAnotherProgramEndsAndTheProgramStarts) {
  // A launcher script that, when told, replaces itself with the program it is named after:
  // the same pid, the same short name, another executable.
  testing::TempDir dir;
  std::filesystem::create_directory(dir.file("bin"));
  std::filesystem::copy_file("/bin/sleep", dir.file("bin/launched"));
  testing::writeFile(dir.file("launched"),
                     "#!/bin/sh\nread go\nexec " + dir.file("bin/launched") + " 30\n");
  std::filesystem::permissions(dir.file("launched"), std::filesystem::perms::owner_all);
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[0], 0);
  posix_spawn_file_actions_addclose(&actions, pipe[1]);
  pid_t child = 0;
  std::string script = dir.file("launched");
  char* argv[] = {script.data(), nullptr};
  ASSERT_EQ(::posix_spawn(&child, script.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[0]);
  auto changesOf = [&](ProcPoll& poll) {
    std::vector<ProcessRef> changes;
    EXPECT_TRUE(poll.poll());
    poll.getPollData(changes, TimeSpan(0));
    std::vector<std::pair<ProcessState, std::string>> own;
    for (const ProcessRef& change : changes) {
      if (change->pid() == static_cast<std::uint32_t>(child)) {
        own.emplace_back(change->state(), change->executable());
      }
    }
    return own;
  };
  ProcPoll poll(testing::systemEnv());
  auto first = changesOf(poll);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].first, ProcessState::Started);
  std::string shell = first[0].second;
  EXPECT_TRUE(changesOf(poll).empty());
  ASSERT_EQ(::write(pipe[1], "go\n", 3), 3);
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        return std::filesystem::read_symlink("/proc/" + std::to_string(child) + "/exe") ==
               dir.file("bin/launched");
      },
      std::chrono::seconds(5)));
  EXPECT_EQ(testing::readFile("/proc/" + std::to_string(child) + "/comm"), "launched\n");
  auto renewed = changesOf(poll);
  ASSERT_EQ(renewed.size(), 2u);
  EXPECT_EQ(renewed[0].first, ProcessState::Ended);
  EXPECT_EQ(renewed[1].first, ProcessState::Started);
  EXPECT_NE(renewed[1].second, shell);
  EXPECT_EQ(renewed[1].second, dir.file("bin/launched"));
  EXPECT_TRUE(changesOf(poll).empty());
  ::close(pipe[1]);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}
#endif

// A clock whose wall time the test steps while its monotonic ticks go their own way.
class ScriptedClock : public platform::Clock {
 public:
  std::int64_t utcSeconds() override { return wall; }
  std::uint64_t tickMillis() override { return ticks; }
  std::int32_t localOffsetSeconds(std::int64_t) override { return 0; }
  void sleepMillis(std::uint32_t milliseconds) override { ticks += milliseconds; }

  std::int64_t wall = 1'800'000'000;
  std::uint64_t ticks = 5'000;
};

TEST(PollScheduleTest, WallClockStepsNeitherBurstNorStopPolling) {
  ScriptedClock clock;
  PollSchedule schedule(clock, TimeSpan(10));
  auto pollsDuring = [&](std::uint64_t millis) {
    int polls = 0;
    for (std::uint64_t step = 0; step < millis; step += 10) {
      polls += schedule.due() ? 1 : 0;
      clock.sleepMillis(10);
    }
    return polls;
  };
  EXPECT_EQ(pollsDuring(60'000), 6);  // the first at once
  clock.wall += 86'400;               // a day forward
  EXPECT_EQ(pollsDuring(60'000), 6);
  clock.wall -= 2 * 86'400;  // two days back
  EXPECT_EQ(pollsDuring(60'000), 6);
  // A cycle that took longer than the interval is followed at once by the next; a long
  // pause (a suspended machine) is made up by one poll, not by thousands.
  clock.ticks += 15'000;
  EXPECT_TRUE(schedule.due());
  EXPECT_TRUE(schedule.due());
  EXPECT_FALSE(schedule.due());
  clock.ticks += 3'600'000;
  EXPECT_EQ(pollsDuring(5'000), 1);
}

}  // namespace
}  // namespace Vantor
