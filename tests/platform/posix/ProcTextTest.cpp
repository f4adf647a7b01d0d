#include <gtest/gtest.h>

#include "platform/posix/ProcText.h"

namespace Vantor::platform {
namespace {

TEST(ProcTextTest, StatLinesWhoseCommandHoldsAnything) {
  // A command may hold ") ", blanks, digits and a line feed: it ends at the last ")".
  ProcStat stat;
  ASSERT_TRUE(parseProcStat(
      "4242 (evil) R 1 (x\n y) S 17 4242 4242 0 -1 4194560 120 0 0 0 5 3 0 0 20 0 1 0 987654 "
      "1000 200 18446744073709551615\n",
      &stat));
  EXPECT_EQ(stat.command, "evil) R 1 (x\n y");
  EXPECT_EQ(stat.state, 'S');
  EXPECT_EQ(stat.parentPid, 17u);
  EXPECT_EQ(stat.flags, 4194560u);
  EXPECT_EQ(stat.startTicks, 987654u);
  EXPECT_EQ(stat.threads, 1u);
  EXPECT_FALSE(hasEnded(stat));
  stat.state = 'Z';
  EXPECT_TRUE(hasEnded(stat));
  stat.threads = 3;  // its first thread ended, two others run on
  EXPECT_FALSE(hasEnded(stat));
  EXPECT_EQ(stat.codeStart, 0u);  // the line ends before the code range
  ASSERT_TRUE(
      parseProcStat("7 (a b) S 1 7 7 0 -1 4194304 0 0 0 0 0 0 0 0 20 0 3 0 555 8192 100 "
                    "18446744073709551615 94000 95000 140000 0 0",
                    &stat));
  EXPECT_EQ(stat.threads, 3u);
  EXPECT_EQ(stat.codeStart, 94000u);
  EXPECT_EQ(stat.codeEnd, 95000u);
  EXPECT_EQ(stat.stackStart, 140000u);
  ASSERT_TRUE(
      parseProcStat("2 (kthreadd) S 0 0 0 0 -1 2129984 0 0 0 0 0 0 0 0 20 0 1 0 5 0 0", &stat));
  EXPECT_EQ(stat.flags & 0x00200000u, 0x00200000u);  // a kernel thread
  for (const char* damaged : {"", "4242", "4242 (cmd", "4242 cmd) S 1", "4242 (cmd) S 1 2 3",
                              "4242 (cmd) SS 1 4242 4242 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9",
                              "4242 (cmd) S x 4242 4242 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9",
                              "4242 (cmd) S 1 4242 4242 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 -9"}) {
    EXPECT_FALSE(parseProcStat(damaged, &stat)) << damaged;
  }
}

TEST(ProcTextTest, TheRealUidOfAStatus) {
  std::uint32_t uid = 0;
  ASSERT_TRUE(parseStatusUid("Name:\tsleep\nUid:\t1000\t0\t0\t0\nGid:\t100\n", &uid));
  EXPECT_EQ(uid, 1000u);
  ASSERT_TRUE(parseStatusUid("Uid:\t7\t7\t7\t7", &uid));
  EXPECT_EQ(uid, 7u);
  // A command named "Uid:" stands on the Name line, not at a line's start.
  ASSERT_TRUE(parseStatusUid("Name:\tUid: 0\nUid:\t33\t33\t33\t33\n", &uid));
  EXPECT_EQ(uid, 33u);
  for (const char* damaged : {"", "Name:\tx\n", "Uid:\n", "Uid:\tme\t0\n", "Uid:\t99999999999\n"}) {
    EXPECT_FALSE(parseStatusUid(damaged, &uid)) << damaged;
  }
}

TEST(ProcTextTest, ExecutableMappingsOncePerFileInOrder) {
  std::string maps =
      "55d0c000-55d0e000 r--p 00000000 08:01 131 /usr/bin/sleep\n"
      "55d0e000-55d12000 r-xp 00002000 08:01 131 /usr/bin/sleep\n"
      "7f00-7f01 r-xp 00000000 08:01 200 /opt/my app/lib one.so (deleted)\n"
      "7f01-7f02 r-xp 00000000 08:01 201 /tmp/line\\012feed.so\n"
      "7f02-7f03 rw-p 00000000 08:01 202 /usr/lib/data.so\n"
      "7f03-7f04 r-xp 00000000 08:01 200 /opt/my app/lib one.so (deleted)\n"
      "7f04-7f05 r-xp 00000000 00:00 0 [vdso]\n"
      "7f05-7f06 r-xp 00000000 00:00 0\n"
      "garbage\n"
      "7f06-7f07 r-x";
  EXPECT_EQ(
      parseExecutableMappings(maps),
      (std::vector<std::string>{"/usr/bin/sleep", "/opt/my app/lib one.so", "/tmp/line\nfeed.so"}));
  EXPECT_TRUE(parseExecutableMappings("").empty());
  EXPECT_EQ(withoutDeletedSuffix("/usr/bin/app (deleted)"), "/usr/bin/app");
  EXPECT_EQ(withoutDeletedSuffix(" (deleted)"), "");
}

}  // namespace
}  // namespace Vantor::platform
