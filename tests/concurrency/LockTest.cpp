#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

#include "concurrency/MachineMutex.h"
#include "concurrency/RenewableMutex.h"
#include "platform/ErrorCodes.h"
#include "platform/Thread.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(RenewableMutexTest, TheLockIsRecursiveForItsOwner) {
  RenewableMutex lock;
  EXPECT_TRUE(lock.relax());  // nothing held: nothing to do
  EXPECT_FALSE(lock.isLocked());
  for (int i = 0; i < 3; ++i) lock.enforce();
  EXPECT_EQ(lock.count(), 3);
  EXPECT_EQ(lock.owner(), platform::currentThreadId());
  bool renewing = true;
  EXPECT_TRUE(lock.tryEnforce(renewing));
  EXPECT_FALSE(renewing);
  EXPECT_TRUE(lock.relax());

  std::atomic<bool> otherGotIt{true};
  std::thread other([&] {
    bool flag = false;
    otherGotIt = lock.tryEnforce(flag);
    EXPECT_FALSE(lock.relax());  // not the owner: must not release our lock
  });
  other.join();
  EXPECT_FALSE(otherGotIt);
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(lock.relax());
  EXPECT_NE(lock.owner(), 0u);
  ASSERT_TRUE(lock.relax());
  EXPECT_EQ(lock.owner(), 0u);
  EXPECT_EQ(lock.count(), 0);
  EXPECT_FALSE(lock.isLocked());

  std::thread again([&] {
    bool flag = false;
    EXPECT_TRUE(lock.tryEnforce(flag));
    EXPECT_TRUE(lock.relax());
  });
  again.join();
}

TEST(RenewableMutexTest, RenewalFreesALockWhoseHolderIsGoneAndStrandsNoWaiter) {
  RenewableMutex lock;
  std::atomic<std::uint32_t> holder{0};
  std::thread dead([&] {
    lock.enforce();
    holder = platform::currentThreadId();
  });  // ends without relaxing, as a killed holder would
  dead.join();
  EXPECT_TRUE(lock.isLocked());
  EXPECT_EQ(lock.owner(), holder.load());

  // A thread that waits for the lock before the renewal gets the fresh one after it.
  platform::Event waiterHasIt;
  std::atomic<bool> waiting{false};
  std::thread waiter([&] {
    waiting = true;
    lock.enforce();
    waiterHasIt.set();
    EXPECT_TRUE(lock.relax());
  });
  while (!waiting.load()) std::this_thread::yield();
  std::atomic<bool> sawRenewing{false};
  std::thread renewer([&] { lock.renew(); });
  // Spins, so the 20 ms renewal window cannot slip between two tries.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!sawRenewing.load() && std::chrono::steady_clock::now() < deadline) {
    bool renewing = false;
    if (lock.tryEnforce(renewing)) {
      lock.relax();
      break;  // the renewal and the waiter were quicker
    }
    if (renewing) sawRenewing = true;
    std::this_thread::yield();
  }
  renewer.join();
  EXPECT_TRUE(waiterHasIt.wait(std::chrono::seconds(10))) << "the waiter was stranded";
  waiter.join();
  bool renewing = true;
  ASSERT_TRUE(lock.tryEnforce(renewing, std::chrono::seconds(10)));
  EXPECT_FALSE(renewing);
  EXPECT_EQ(lock.count(), 1);
  EXPECT_EQ(lock.owner(), platform::currentThreadId());
  EXPECT_TRUE(lock.relax());
  EXPECT_FALSE(lock.isLocked());
}

#ifndef _WIN32
TEST(MachineMutexTest, OneHolderOnTheMachineAtATime) {
  TempDir dir;
  ScopedEnv runtime("VANTOR_RUNTIME_DIR", dir.path().c_str());
  MachineMutex unnamed(testing::systemEnv(), "");
  EXPECT_FALSE(unnamed.tryTake());

  MachineMutex first(testing::systemEnv(), "Vantor/Tarnwick\\Instance");
  EXPECT_EQ(first.name(), "Vantor_Tarnwick_Instance");
  ASSERT_TRUE(first.tryTake());
  EXPECT_TRUE(first.tryTake());  // held already

  MachineMutex sameProcess(testing::systemEnv(), "Vantor_Tarnwick_Instance");
  EXPECT_EQ(sameProcess.tryTake().code(), platform::kErrorAlreadyExists);

  auto otherProcessTakes = [] {
    pid_t child = ::fork();
    if (child == 0)
      ::_exit(MachineMutex(testing::systemEnv(), "Vantor_Tarnwick_Instance").tryTake().ok() ? 0
                                                                                            : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(otherProcessTakes());
  first.release();
  EXPECT_FALSE(first.isHeld());
  EXPECT_TRUE(otherProcessTakes());
  EXPECT_TRUE(sameProcess.tryTake());
}
#endif

}  // namespace
}  // namespace Vantor
