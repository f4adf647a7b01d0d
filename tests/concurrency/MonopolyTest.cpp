#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <thread>

#include "concurrency/Monopoly.h"
#include "platform/Thread.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(MonopolyTest, InProcessLockIsRecursiveForItsOwner) {
  Monopoly lock;
  EXPECT_TRUE(lock.relax());  // nothing held: nothing to do
  EXPECT_FALSE(lock.isLocked());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(lock.enforce());
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

TEST(MonopolyTest, RenewalFreesALockWhoseHolderIsGone) {
  Monopoly lock;
  std::atomic<std::uint32_t> holder{0};
  std::thread dead([&] {
    lock.enforce();
    holder = platform::currentThreadId();
  });  // ends without relaxing, as a killed holder would
  dead.join();
  EXPECT_TRUE(lock.isLocked());
  EXPECT_EQ(lock.owner(), holder.load());

  std::atomic<bool> sawRenewing{false};
  std::thread renewer([&] { lock.renew(); });
  // Spins, so the 20 ms renewal window cannot slip between two tries.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  bool taken = false;
  while (!taken && std::chrono::steady_clock::now() < deadline) {
    bool renewing = false;
    taken = lock.tryEnforce(renewing);
    if (renewing) sawRenewing = true;
    std::this_thread::yield();
  }
  ASSERT_TRUE(taken);
  renewer.join();
  EXPECT_TRUE(sawRenewing) << "a try during the renewal reports it";
  EXPECT_TRUE(lock.isLocked());
  EXPECT_EQ(lock.count(), 1);
  EXPECT_EQ(lock.owner(), platform::currentThreadId());
  EXPECT_TRUE(lock.relax());
  EXPECT_FALSE(lock.isLocked());
}

#ifndef _WIN32
TEST(MonopolyTest, NamedLockIsHeldByOneHolderOnTheMachine) {
  TempDir dir;
  ScopedEnv runtime("VANTOR_RUNTIME_DIR", dir.path().c_str());
  Monopoly unnamed;
  ASSERT_TRUE(unnamed.setName(testing::systemEnv(), ""));
  EXPECT_FALSE(unnamed.enforce());

  Monopoly first(testing::systemEnv(), "Vantor/Tarnwick\\Instance");
  EXPECT_EQ(first.name(), "Vantor_Tarnwick_Instance");
  ASSERT_TRUE(first.enforce());
  EXPECT_TRUE(first.enforce());  // held already
  EXPECT_FALSE(first.setName(testing::systemEnv(), "other"));
  bool renewing = true;
  EXPECT_FALSE(first.tryEnforce(renewing));
  EXPECT_TRUE(renewing);  // untouched by the named kind

  Monopoly sameProcess(testing::systemEnv(), "Vantor_Tarnwick_Instance");
  EXPECT_FALSE(sameProcess.enforce());

  auto otherProcessTakes = [] {
    pid_t child = ::fork();
    if (child == 0)
      ::_exit(Monopoly(testing::systemEnv(), "Vantor_Tarnwick_Instance").enforce() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(otherProcessTakes());
  EXPECT_TRUE(first.relax());
  EXPECT_FALSE(first.isLocked());
  EXPECT_TRUE(otherProcessTakes());
  EXPECT_TRUE(sameProcess.enforce());
}
#endif

}  // namespace
}  // namespace Vantor
