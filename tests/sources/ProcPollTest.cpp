#include <gtest/gtest.h>
#include <unistd.h>

#include "sources/ProcPoll.h"

namespace Vantor {
namespace {

// Objects that stand for processes without reading them.
std::vector<ProcessRef> processes(std::initializer_list<std::uint32_t> pids) {
  std::vector<ProcessRef> list;
  for (std::uint32_t pid : pids) list.push_back(std::make_shared<Process>(pid, nullptr, false));
  return list;
}

TEST(ProcPollTest, ChangesAreTheDifferenceOfTheLastTwoSnapshotsByPid) {
  ProcPoll poll;
  std::vector<ProcessRef> changes;
  std::vector<ProcessRef> first = processes({30, 10, 20});
  poll.addToLatest(first);
  DateTime before = DateTime() - TimeSpan(5);
  poll.getPollData(changes, TimeSpan(5));
  ASSERT_EQ(changes.size(), 3u);
  for (const ProcessRef& change : changes) {
    EXPECT_EQ(change->state(), ProcessState::Started);
    EXPECT_GE(change->startTime(), before);
    EXPECT_LE(change->startTime(), DateTime() - TimeSpan(5));
  }
  EXPECT_EQ(changes[0]->pid(), 10u);  // pid order

  poll.addToLatest(processes({10, 20, 30}));
  poll.getPollData(changes, TimeSpan(0));
  EXPECT_TRUE(changes.empty());

  // 20 ended; 30 ended and its pid came back: neither reported for 30.
  poll.addToLatest(processes({10, 30, 40}));
  poll.getPollData(changes, TimeSpan(0));
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0]->pid(), 20u);
  EXPECT_EQ(changes[0], first[2]);  // the object of the snapshot that saw it start
  EXPECT_EQ(changes[0]->state(), ProcessState::Ended);
  EXPECT_EQ(changes[1]->pid(), 40u);
  EXPECT_EQ(changes[1]->state(), ProcessState::Started);

  poll.getPollData(changes, TimeSpan(0));  // an empty scan ends everything
  EXPECT_EQ(changes.size(), 3u);
}

TEST(ProcPollTest, AScanReadsEveryRunningProcess) {
  ProcPoll poll;
  std::vector<ProcessRef> scanned;
  ASSERT_TRUE(poll.scan(scanned));
  auto self = std::find_if(scanned.begin(), scanned.end(), [](const ProcessRef& p) {
    return p->pid() == static_cast<std::uint32_t>(::getpid());
  });
  ASSERT_NE(self, scanned.end());
  EXPECT_EQ((*self)->state(), ProcessState::Started);
  EXPECT_TRUE((*self)->executable().ends_with("metering_tests"));
  EXPECT_TRUE((*self)->isRunning());
  for (const ProcessRef& process : scanned) EXPECT_NE(process->pid(), 0u);
}

}  // namespace
}  // namespace Vantor
