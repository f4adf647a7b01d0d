#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "concurrency/ErrorName.h"
#include "concurrency/ThreadInstance.h"
#include "concurrency/ThreadMessages.h"
#include "foundation/JobException.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;

// Sleeps the way the agent's workers do.
void nap(std::chrono::milliseconds duration) { platform::sleepCancellable(duration); }

std::int32_t jobErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const JobException& error) {
    return error.getCode();
  }
  return -1;
}

TEST(ThreadInstanceTest, RunsAndReportsItsEnd) {
  std::atomic<bool> release{false};
  ThreadInstance job([&] {
    while (!release) nap(1ms);
    return 7u;
  });
  std::uint32_t code = 0;
  EXPECT_EQ(job.status(), JobInstance::JS_NO_HANDLE);
  EXPECT_EQ(job.exitCode(code), JobInstance::JS_NO_HANDLE);
  EXPECT_EQ(jobErrorOf([&] { job.suspend(); }), JobException::JB_NEVER_STARTED);
  EXPECT_EQ(jobErrorOf([&] { job.resume(); }), JobException::JB_NEVER_STARTED);
  EXPECT_FALSE(job.terminate());

  job.execute();
  EXPECT_NE(job.threadId(), 0u);
  EXPECT_EQ(job.status(), JobInstance::JS_RUNNING);
  EXPECT_EQ(job.exitCode(code), JobInstance::JS_RUNNING);
  EXPECT_EQ(jobErrorOf([&] { job.execute(); }), JobException::JB_STILL_RUNNING);
  release = true;
  ASSERT_TRUE(testing::waitUntil([&] { return job.status() == JobInstance::JS_ENDED; }, 5s));
  EXPECT_EQ(job.exitCode(code), JobInstance::JS_EXITED);
  EXPECT_EQ(code, 7u);
  EXPECT_FALSE(job.terminate());

  release = false;
  std::uint32_t firstId = job.threadId();
  job.execute();  // the same job runs again on a new thread
  EXPECT_EQ(job.status(), JobInstance::JS_RUNNING);
  EXPECT_NE(job.threadId(), firstId);
  release = true;
}

TEST(ThreadInstanceTest, AThreadThatReadsItsQueueEndsOnRequest) {
  ThreadInstance job([] {
    ThreadMessage message;
    while (true) {
      if (ThreadMessages::take(&message, 10ms) && message.message == kMessageDestroy) {
        return static_cast<std::uint32_t>(message.wParam);
      }
    }
  });
  job.execute();
  EXPECT_TRUE(job.stop(5, 5000));
  EXPECT_EQ(job.status(), JobInstance::JS_ENDED_ON_REQUEST);
  std::uint32_t code = 0;
  EXPECT_EQ(job.exitCode(code), JobInstance::JS_EXITED);
  EXPECT_EQ(code, 5u);
}

TEST(ThreadInstanceTest, ASleepingThreadIsKilledAfterTheGracePeriod) {
  std::atomic<int> cleanedUp{0};
  ThreadInstance job([&] {
    struct Cleanup {
      std::atomic<int>* counter;
      ~Cleanup() { ++*counter; }
    } cleanup{&cleanedUp};
    while (true) nap(10ms);
    return 0u;
  });
  job.execute();
  EXPECT_TRUE(job.terminate());
  EXPECT_EQ(job.status(), JobInstance::JS_KILLED);
  std::uint32_t code = 0;
  EXPECT_EQ(job.exitCode(code), JobInstance::JS_EXITED);
  EXPECT_EQ(code, 0xFFFFFFFFu);
  EXPECT_EQ(cleanedUp, 1) << "the killed thread's stack was unwound";
}

TEST(ThreadInstanceTest, AThreadWithoutCancellationPointsIsCountedKilledAndCanRunAgain) {
  std::atomic<bool> release{false};
  std::atomic<int> runs{0};
  ThreadInstance job([&] {
    ++runs;
    while (!release.load()) {
    }
    return 0u;
  });
  job.execute();
  auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(job.stop(0xFFFFFFFFu, 200));
  // Never hangs: the grace period, the bounded wait after the kill, and scheduling slack.
  EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
  EXPECT_EQ(job.status(), JobInstance::JS_KILLED);
  job.execute();
  EXPECT_EQ(job.status(), JobInstance::JS_RUNNING);
  ASSERT_TRUE(testing::waitUntil([&] { return runs == 2; }, 5s));
  release = true;
  ASSERT_TRUE(testing::waitUntil([&] { return job.status() == JobInstance::JS_ENDED; }, 5s));
}

TEST(ThreadInstanceTest, SuspendedThreadsMakeNoProgressUntilResumed) {
  std::atomic<long> progress{0};
  std::atomic<bool> release{false};
  ThreadInstance job([&] {
    while (!release) {
      ++progress;
      nap(1ms);
    }
    return 0u;
  });
  job.execute();
  ASSERT_TRUE(testing::waitUntil([&] { return progress > 5; }, 5s));
  EXPECT_EQ(job.suspend(), 1u);
  EXPECT_EQ(job.suspend(), 2u);
  long frozen = progress;
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(progress, frozen);
  EXPECT_EQ(job.resume(), 2u);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(progress, frozen) << "still suspended once";
  EXPECT_EQ(job.resume(), 1u);
  EXPECT_TRUE(testing::waitUntil([&] { return progress > frozen; }, 5s));
  EXPECT_EQ(job.resume(), 0u);
  release = true;
}

TEST(ThreadInstanceTest, DestructionKillsARunningThread) {
  std::atomic<bool> unwound{false};
  {
    ThreadInstance job([&] {
      struct Flag {
        std::atomic<bool>* flag;
        ~Flag() { *flag = true; }
      } flag{&unwound};
      while (true) nap(10ms);
      return 0u;
    });
    job.execute();
  }
  EXPECT_TRUE(testing::waitUntil([&] { return unwound.load(); }, 5s));
}

TEST(ThreadMessagesTest, MessagesArriveInOrderOnlyWhereAQueueExists) {
  EXPECT_FALSE(ThreadMessages::post(platform::currentThreadId(), {kMessageUser, 1, 2}));
  ThreadMessages::Queue queue;
  ThreadMessage message;
  EXPECT_FALSE(ThreadMessages::take(&message, 1ms));
  std::thread sender([target = platform::currentThreadId()] {
    for (std::uint64_t i = 0; i < 100; ++i) ThreadMessages::post(target, {kMessageUser, i, 0});
    ThreadMessages::post(target, {kMessageQuit, 0, 0});
  });
  std::uint64_t expected = 0;
  while (ThreadMessages::get(&message)) EXPECT_EQ(message.wParam, expected++);
  EXPECT_EQ(expected, 100u);
  EXPECT_EQ(message.message, kMessageQuit);
  sender.join();
}

TEST(ErrorNameTest, NamesTheSystemErrorCodes) {
  EXPECT_EQ(errorName(0), "ERROR_SUCCESS");
  EXPECT_EQ(errorName(1), "ERROR_INVALID_FUNCTION");
  EXPECT_EQ(errorName(5), "ERROR_ACCESS_DENIED");
  EXPECT_EQ(errorName(258), "WAIT_TIMEOUT");
  EXPECT_EQ(errorName(1642), "ERROR_PATCH_TARGET_NOT_FOUND");
  EXPECT_EQ(errorName(35), "<unknown>");
  EXPECT_EQ(errorName(1643), "<unknown>");
  EXPECT_EQ(errorName(0xFFFFFFFFu), "<unknown>");
}

}  // namespace
}  // namespace Vantor
