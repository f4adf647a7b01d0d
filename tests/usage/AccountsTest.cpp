#include <gtest/gtest.h>
#include <utime.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "support/SystemEnv.h"
#include "support/TempDir.h"
#include "usage/Accounts.h"

namespace Vantor {
namespace {

using testing::TempDir;
using testing::writeFile;

// Files written within one second share a modification time; tests give each change its own.
void touch(const std::string& path, std::int64_t time) {
  utimbuf times{static_cast<time_t>(time), static_cast<time_t>(time)};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

TEST(AccountsTest, LinesGiveUserAccountAndExtra) {
  Accounts::Table table;
  Accounts::parseAccounts(
      "# comment\n"
      "  jdoe = ACME : Sales  \r\n"
      "\n"
      "anna = : Research\n"
      "bob = BOBCO\n"
      "carl\n"
      "dora : only extra : with colon\n"
      "bob = LATER\n",
      &table);
  ASSERT_EQ(table.size(), 5u);
  EXPECT_EQ(table["jdoe"].account, "ACME");
  EXPECT_EQ(table["jdoe"].extra, "Sales");
  EXPECT_EQ(table["anna"].account, "");
  EXPECT_EQ(table["anna"].extra, "Research");
  EXPECT_EQ(table["bob"].account, "LATER");
  EXPECT_EQ(table["bob"].extra, "");
  EXPECT_EQ(table["carl"].account, "");
  EXPECT_EQ(table["dora"].extra, "only extra : with colon");
}

TEST(AccountsTest, ALineWithoutAUserIsToldWithItsNumber) {
  Accounts::Table table;
  std::vector<LineProblem> problems;
  Accounts::parseAccounts("carl\n = NOBODYS\n# : comment\n: extra only\nanna = ACME\n", &table,
                          &problems);
  ASSERT_EQ(problems.size(), 2u);
  EXPECT_EQ(problems[0].line, 2u);
  EXPECT_EQ(problems[1].line, 4u);
  EXPECT_EQ(table["anna"].account, "ACME");
}

TEST(AccountsTest, UsersMapThroughTheMainAndThePerUserTables) {
  TempDir dir;
  writeFile(dir.file("accounts.conf"),
            "jdoe = ACME : Sales\nanna = : Research\nbob = BOBCO\nSystem = SYS\n");
  std::filesystem::create_directory(dir.file("accounts"));
  writeFile(dir.file("accounts/carl.conf"), "carl = : PerUser\n");
  Accounts accounts(testing::systemEnv());
  ASSERT_TRUE(accounts.loadAccounts(dir.path()));
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\jdoe"), "ACME|Sales");
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\anna"), "anna|Research");
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\bob"), "BOBCO");
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\nobody"), "\\\\OFFICE\\nobody");
  EXPECT_EQ(accounts.mapUser("System"), "SYS");
  // The per-user table keeps the full name when it gives no account.
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\carl"), "\\\\OFFICE\\carl|PerUser");
  std::string account = "given", extra;
  EXPECT_TRUE(accounts.lookupAccount("carl", account, extra));
  EXPECT_EQ(account, "given");
  EXPECT_FALSE(accounts.lookupAccount("zed", account, extra));

  Accounts off(testing::systemEnv());
  EXPECT_FALSE(off.loadAccounts(dir.file("nowhere")));
  EXPECT_EQ(off.mapUser("\\\\OFFICE\\jdoe"), "\\\\OFFICE\\jdoe");
  off.refreshAccounts();  // switched off: nothing to check
  EXPECT_EQ(off.mapUser("\\\\OFFICE\\jdoe"), "\\\\OFFICE\\jdoe");
}

TEST(AccountsTest, TheChangeCheckSeesEditsAdditionsAndDeletions) {
  TempDir dir;
  writeFile(dir.file("accounts.conf"), "jdoe = MAIN\n");
  std::filesystem::create_directory(dir.file("accounts"));
  writeFile(dir.file("accounts/jdoe.conf"), "jdoe = PERSONAL\n");
  std::int64_t start = DateTime().getValue() - 1000;
  touch(dir.file("accounts.conf"), start);
  touch(dir.file("accounts/jdoe.conf"), start);
  Accounts accounts(testing::systemEnv());
  ASSERT_TRUE(accounts.loadAccounts(dir.path()));
  EXPECT_EQ(accounts.mapUser("\\\\OFFICE\\jdoe"), "PERSONAL");

  DateTime now;
  writeFile(dir.file("accounts.conf"), "jdoe = MAIN2\nanna = ANNA\n");
  touch(dir.file("accounts.conf"), start + 10);
  writeFile(dir.file("accounts/bob.conf"), "bob = BOB\n");
  accounts.refreshAccountsAt(now + TimeSpan(5));
  EXPECT_EQ(accounts.mapUser("\\\\X\\anna"), "ANNA");
  EXPECT_EQ(accounts.mapUser("\\\\X\\bob"), "BOB");
  EXPECT_EQ(accounts.mapUser("\\\\X\\jdoe"), "PERSONAL");

  std::filesystem::remove(dir.file("accounts/jdoe.conf"));
  accounts.refreshAccountsAt(now + TimeSpan(8));  // within 4 s of the last check: skipped
  EXPECT_EQ(accounts.mapUser("\\\\X\\jdoe"), "PERSONAL");
  accounts.refreshAccountsAt(now + TimeSpan(10));
  EXPECT_EQ(accounts.mapUser("\\\\X\\jdoe"), "MAIN2");  // the main table applies again

  writeFile(dir.file("accounts/bob.conf"), "bob = BOB2\n");
  touch(dir.file("accounts/bob.conf"), start + 20);
  accounts.refreshAccountsAt(now + TimeSpan(15));
  EXPECT_EQ(accounts.mapUser("\\\\X\\bob"), "BOB2");
}

TEST(AccountsTest, ReadersNeverSeeAHalfBuiltTable) {
  TempDir dir;
  std::string many;
  for (int i = 0; i < 500; ++i) many += "user" + std::to_string(i) + " = ACCOUNT\n";
  writeFile(dir.file("accounts.conf"), many);
  Accounts accounts(testing::systemEnv());
  ASSERT_TRUE(accounts.loadAccounts(dir.path()));
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    while (!stop) {
      if (accounts.mapUser("\\\\D\\user499") != "ACCOUNT") ++wrong;
    }
  });
  DateTime now;
  for (int round = 1; round <= 50; ++round) {
    touch(dir.file("accounts.conf"), now.getValue() - 10000 + round);
    accounts.refreshAccountsAt(now + TimeSpan(5 * round));
  }
  stop = true;
  reader.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace Vantor
