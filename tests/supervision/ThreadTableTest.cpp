#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "supervision/ThreadTable.h"
#include "support/LogCapture.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

// Workers of every temper.
std::uint32_t answering(ThreadEntry& row) {
  while (!row.stopRequested()) {
    reportThreadStatus(row.report, false);
    row.pause(5ms);
  }
  return 0;
}
std::uint32_t silent(ThreadEntry& row) {
  while (!row.stopRequested()) row.pause(5ms);
  return 0;
}
std::uint32_t fatal(ThreadEntry& row) {
  while (!row.stopRequested()) {
    reportThreadStatus(row.report, true);
    row.pause(5ms);
  }
  return 0;
}
std::uint32_t dying(ThreadEntry&) { return 0; }
// Without reports, as the event tracer: it leaves when it takes the stop message, after
// handing over what it holds.
std::uint32_t obeying(ThreadEntry&) {
  ThreadMessage message;
  while (!ThreadMessages::take(&message, 5ms) || message.message != kMessageDestroy) {
  }
  std::this_thread::sleep_for(1200ms);
  return 0;
}

class ThreadTableTest : public ::testing::Test {
 protected:
  ThreadTableTest() : table_(capture_.sender()) {
    setDebugLevel(5);
    quitFlag.store(false);
  }
  ~ThreadTableTest() override {
    table_.clear();
    quitFlag.store(false);
  }
  // Two checks: the first asks, the second looks at the answers.
  bool twoChecks() {
    table_.checkThreads();
    std::this_thread::sleep_for(50ms);  // time for answering workers to answer
    return table_.checkThreads();
  }
  LogCapture capture_;
  ThreadTable table_;
};

TEST_F(ThreadTableTest, AnsweringWorkersPassAndStopWhenSignalled) {
  ThreadEntry& worker = table_.addThread("ProcessPoller", TF_REPORTS, answering);
  ASSERT_TRUE(table_.startThreads());
  EXPECT_TRUE(capture_.contains("   Started 1 thread(s), and failed to start 0."));
  EXPECT_TRUE(table_.monitorThreads());  // initiating: asks only
  EXPECT_EQ(worker.report.load() == REPORT_REQUESTED || worker.report.load() == REPORT_RUNNING,
            true);
  EXPECT_TRUE(testing::waitUntil([&] { return worker.report.load() == REPORT_RUNNING; }, 5s));
  EXPECT_TRUE(table_.monitorThreads());  // checking: it answered
  EXPECT_EQ(worker.status.load(), ST_OK);
  table_.stopThreads();
  EXPECT_TRUE(capture_.contains("   1 thread(s) signalled to stop, 0 stopped on request, 0 killed."));
  EXPECT_TRUE(
      testing::waitUntil([&] { return worker.job->status() != JobInstance::JS_RUNNING; }, 5s));
  EXPECT_TRUE(table_.verifyStoppedThreads());
  EXPECT_TRUE(capture_.contains("   1 thread(s) ended nicely, 0 was killed, and 0 failed to end."));
}

TEST_F(ThreadTableTest, ASilentWorkerIsKilledAndRestartedInTheSameCheck) {
  ThreadEntry& worker = table_.addThread("Silent", TF_REPORTS, silent);
  std::vector<std::uint32_t> hooked;
  table_.setKillHook([&](std::uint32_t id) { hooked.push_back(id); });
  ASSERT_TRUE(table_.startThreads());
  std::uint32_t firstId = worker.job->threadId();
  EXPECT_TRUE(table_.checkThreads());  // initiating: never silent yet
  EXPECT_TRUE(hooked.empty());
  EXPECT_TRUE(table_.checkThreads());
  EXPECT_TRUE(capture_.contains("   \"Silent\" is silent."));
  EXPECT_TRUE(capture_.contains("   Check: \"Silent\" has been killed."));
  EXPECT_TRUE(capture_.contains("   Check: Thread \"Silent\" is down. Attempting restart..."));
  EXPECT_EQ(worker.job->status(), JobInstance::JS_RUNNING);
  EXPECT_NE(worker.job->threadId(), firstId);
  ASSERT_FALSE(hooked.empty());
  EXPECT_EQ(hooked.front(), firstId);
  table_.clear();  // the hook refers to this test's locals
}

TEST_F(ThreadTableTest, AFatalReportEndsTheProgramWithinOneCheck) {
  table_.addThread("Fatal", TF_REPORTS, fatal);
  ASSERT_TRUE(table_.startThreads());
  EXPECT_FALSE(twoChecks());
  EXPECT_TRUE(quitFlag.load());
  EXPECT_TRUE(capture_.contains(
      "Check: Thread \"Fatal\" has reported a fatal error. We are shutting down."));
}

TEST_F(ThreadTableTest, ADeadWorkerIsRestarted) {
  std::atomic<int> runs{0};
  ThreadEntry& worker = table_.addThread("Dying", TF_REPORTS, [&](ThreadEntry& row) {
    ++runs;
    return dying(row);
  });
  ASSERT_TRUE(table_.startThreads());
  ASSERT_TRUE(
      testing::waitUntil([&] { return worker.job->status() == JobInstance::JS_ENDED; }, 5s));
  EXPECT_TRUE(table_.checkThreads());
  EXPECT_TRUE(capture_.contains("   \"Dying\" is down."));
  EXPECT_TRUE(testing::waitUntil([&] { return runs.load() == 2; }, 5s));
  // Quitting: a dead worker stays down.
  ASSERT_TRUE(
      testing::waitUntil([&] { return worker.job->status() == JobInstance::JS_ENDED; }, 5s));
  quitFlag.store(true);
  EXPECT_TRUE(table_.checkThreads());
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(runs.load(), 2);
}

TEST_F(ThreadTableTest, AWorkerWithoutReportsIsNeverSilentAndIsKilledAtStop) {
  ThreadEntry& tracer = table_.addThread("EventTracer", 0, silent);
  ASSERT_TRUE(table_.startThreads());
  EXPECT_TRUE(twoChecks());
  EXPECT_EQ(tracer.status.load(), ST_OK);
  table_.stopThreads();
  EXPECT_TRUE(capture_.contains("   0 thread(s) signalled to stop, 0 stopped on request, 1 killed."));
  EXPECT_EQ(tracer.job->status(), JobInstance::JS_KILLED);
  table_.stopThreads();  // every row down now: nothing to signal or kill
  EXPECT_TRUE(capture_.contains("   0 thread(s) signalled to stop, 0 stopped on request, 0 killed."));
}

TEST_F(ThreadTableTest, AWorkerThatLeavesWithinItsOwnGraceIsStoppedNotKilled) {
  ThreadEntry& tracer = table_.addThread("EventTracer", 0, obeying);
  // Longer than the default: it hands over what it holds before it leaves.
  tracer.stopGrace = 5s;
  ASSERT_TRUE(table_.startThreads());
  table_.stopThreads();
  EXPECT_TRUE(
      capture_.contains("   0 thread(s) signalled to stop, 1 stopped on request, 0 killed."));
  EXPECT_EQ(tracer.job->status(), JobInstance::JS_ENDED_ON_REQUEST);
}

TEST_F(ThreadTableTest, AThreadThatCannotStartFailsTheStart) {
  ThreadEntry& worker = table_.addThread("Twice", TF_REPORTS, answering);
  worker.job->execute();  // already running: the table's start fails for it
  EXPECT_FALSE(table_.startThreads());
  EXPECT_EQ(worker.status.load(), ST_DOWN);
  EXPECT_TRUE(capture_.contains("   Started 0 thread(s), and failed to start 1."));
  EXPECT_TRUE(capture_.contains("(2.21.08)"));
  EXPECT_TRUE(capture_.contains("FATAL    "));
}

TEST_F(ThreadTableTest, TheQuitFlagTurnsAnswersIntoQuitting) {
  std::atomic<std::uint32_t> report{REPORT_REQUESTED};
  reportThreadStatus(report, false);
  EXPECT_EQ(report.load(), REPORT_RUNNING);
  report.store(REPORT_REQUESTED);
  reportThreadStatus(report, true);
  EXPECT_EQ(report.load(), REPORT_FATAL);
  quitFlag.store(true);
  reportThreadStatus(report, false);
  EXPECT_EQ(report.load(), REPORT_QUITTING);
  report.store(REPORT_STOP);
  reportThreadStatus(report, false);
  EXPECT_EQ(report.load(), REPORT_STOP);  // the stop signal survives
}

}  // namespace
}  // namespace Vantor
