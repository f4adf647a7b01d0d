#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <set>

#include "foundation/LockFile.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::fileExists;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

std::string lockText(const DateTime& created, const DateTime& expiry, const std::string& token) {
  return created.toString(true, true, false) + "\n" + expiry.toString(true, true, false) + "\n" +
         token + "\nmissing\n";
}

TEST(LockFileTest, AcquireWritesTheFourLines) {
  TempDir dir;
  std::string target = dir.file("data");
  writeFile(target, "content");
  LockFile lock(testing::systemEnv(), target);
  EXPECT_FALSE(lock.isLocked());
  EXPECT_TRUE(lock.targetExisted());
  ASSERT_TRUE(lock.acquire(TimeSpan(90), true));
  EXPECT_FALSE(lock.acquire(TimeSpan(90), true));  // already ours
  std::string text = readFile(target + ".lock");
  ASSERT_EQ(text.size(), 17u + 17u + 18u + 9u) << text;
  DateTime created(text.substr(0, 16));
  DateTime expiry(text.substr(17, 16));
  EXPECT_EQ((expiry - created).getSeconds(), 90);
  std::string token = text.substr(34, 17);
  EXPECT_EQ(token, lock.ownToken());
  for (int i = 0; i < 6; ++i) EXPECT_TRUE(token[i] >= '0' && token[i] <= '9');
  EXPECT_EQ(token[6], 'Z');
  for (int i = 7; i < 17; ++i) EXPECT_TRUE(token[i] >= 32 && token[i] <= 125);
  EXPECT_EQ(text.substr(52), "original\n");
  EXPECT_EQ(readFile(target), "content");  // held open, never emptied
  EXPECT_TRUE(lock.release());
  EXPECT_FALSE(fileExists(target + ".lock"));
}

TEST(LockFileTest, TokensDifferEvenWithinOneSecond) {
  std::set<std::string> tokens;
  for (int i = 0; i < 200; ++i)
    tokens.insert(LockFile(testing::systemEnv(), "/nonexistent/x").ownToken());
  EXPECT_EQ(tokens.size(), 200u);
}

TEST(LockFileTest, ForeignLocksHoldUntilTheyExpire) {
  TempDir dir;
  std::string target = dir.file("data");
  writeFile(target + ".lock",
            lockText(DateTime(), DateTime() + TimeSpan(600), "120000Zabcdefghij"));
  LockFile valid(testing::systemEnv(), target);
  EXPECT_TRUE(valid.isLocked());
  EXPECT_FALSE(valid.release());
  EXPECT_TRUE(fileExists(target + ".lock"));

  writeFile(target + ".lock",
            lockText(DateTime() - TimeSpan(600), DateTime() - TimeSpan(1), "120000Zabcdefghij"));
  LockFile stale(testing::systemEnv(), target);
  EXPECT_TRUE(stale.isLocked());
  EXPECT_TRUE(stale.release());
  EXPECT_FALSE(fileExists(target + ".lock"));
  EXPECT_FALSE(stale.isLocked());
  EXPECT_TRUE(stale.release());  // nothing left to release
}

TEST(LockFileTest, AStaleLockRetakenMeanwhileIsNotBroken) {
  TempDir dir;
  std::string target = dir.file("data");
  writeFile(target + ".lock",
            lockText(DateTime() - TimeSpan(600), DateTime() - TimeSpan(1), "120000Zaaaaaaaaaa"));
  LockFile late(testing::systemEnv(), target);
  // Another waiter broke the stale lock and took a fresh one after we read it.
  writeFile(target + ".lock",
            lockText(DateTime(), DateTime() + TimeSpan(600), "120001Zbbbbbbbbbb"));
  EXPECT_FALSE(late.release());
  EXPECT_TRUE(fileExists(target + ".lock"));

  // An owner whose own lock expired and was taken meanwhile leaves the new writer's lock.
  std::filesystem::remove(target + ".lock");
  LockFile slow(testing::systemEnv(), target);
  ASSERT_TRUE(slow.acquire(TimeSpan(1), false));
  std::string theirs = lockText(DateTime(), DateTime() + TimeSpan(600), "120002Zcccccccccc");
  writeFile(target + ".lock", theirs);
  EXPECT_FALSE(slow.release());
  EXPECT_EQ(readFile(target + ".lock"), theirs);
}

TEST(LockFileTest, ADamagedLockBlocksBrieflyThenCountsAsExpired) {
  TempDir dir;
  std::string target = dir.file("data");
  for (const char* damaged : {"", "2008", "20080721T120000Z\nnot a time\ntoken\nmissing\n"}) {
    writeFile(target + ".lock", damaged);
    LockFile fresh(testing::systemEnv(), target);
    EXPECT_TRUE(fresh.isLocked());
    EXPECT_FALSE(fresh.release()) << "a lock being written right now must hold";

    std::int64_t old = DateTime().getValue() - LockFile::kDamagedLockGraceSeconds - 5;
    utimbuf times{static_cast<time_t>(old), static_cast<time_t>(old)};
    ASSERT_EQ(::utime((target + ".lock").c_str(), &times), 0);
    LockFile late(testing::systemEnv(), target);
    EXPECT_TRUE(late.release()) << "a damaged lock must not block the file for ever";
    EXPECT_FALSE(fileExists(target + ".lock"));
  }
}

TEST(LockFileTest, TheSecondOfTwoRacingWritersLoses) {
  TempDir dir;
  std::string target = dir.file("data");
  LockFile first(testing::systemEnv(), target);
  LockFile second(testing::systemEnv(), target);  // both looked before either took the lock
  ASSERT_TRUE(first.acquire(TimeSpan(60), false));
  EXPECT_FALSE(second.acquire(TimeSpan(60), false));
  EXPECT_TRUE(second.lostRace());
  EXPECT_NE(readFile(target + ".lock").find(first.ownToken()), std::string::npos);
}

}  // namespace
}  // namespace Vantor
