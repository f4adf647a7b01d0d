#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/SystemFacts.h"
#include "platform/WindowsVersionName.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

TEST(SystemFactsTest, DescribesThisMachine) {
  SystemFacts& facts = SystemFacts::Default();
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string hostName = host;
  EXPECT_EQ(facts.computerName(), hostName.substr(0, hostName.find('.')));
  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  if (std::string(names.machine) == "x86_64") {
    EXPECT_EQ(facts.architecture(), "amd64");
  }
  if (std::string(names.machine) == "aarch64") {
    EXPECT_EQ(facts.architecture(), "arm64");
  }
  EXPECT_FALSE(facts.osName().empty());
  EXPECT_GE(facts.versionNumber(), 60);  // modern code paths
  EXPECT_EQ(facts.is32BitOn64Bit(), sizeof(void*) == 4 && facts.architecture() == "amd64");
  std::optional<std::string> workgroup = facts.workgroup();
  if (workgroup) {
    EXPECT_FALSE(workgroup->empty());
  }
  EXPECT_FALSE(facts.isKnownDrive("C:"));
}

TEST(SystemFactsTest, WindowsDirectoryComesFromTheEnvironmentOnly) {
  Vantor::testing::ScopedEnv windir("WINDIR", nullptr);
  Vantor::testing::ScopedEnv systemRoot("SystemRoot", nullptr);
  EXPECT_FALSE(SystemFacts::Default().windowsDirectory().has_value());
  Vantor::testing::ScopedEnv named("SystemRoot", "/srv/windows");
  EXPECT_EQ(SystemFacts::Default().windowsDirectory().value_or(""), "/srv/windows");
}

TEST(WindowsVersionNameTest, NamesFollowVersionProductTypeAndProcessor) {
  WindowsVersion xp64{5, 2, kProductWorkstation, 0, false};
  EXPECT_EQ(windowsVersionName(xp64, "amd64"), "XP x64");
  WindowsVersion server2003{5, 2, 3, 0, false};
  EXPECT_EQ(windowsVersionName(server2003, "amd64"), "Server 2003 x64");
  EXPECT_EQ(windowsVersionName(server2003, "ia64"), "Server 2003 ia64");
  EXPECT_EQ(windowsVersionName(server2003, "i386"), "Server 2003");
  WindowsVersion r2{5, 2, 3, 0, true};
  EXPECT_EQ(windowsVersionName(r2, "amd64"), "Server 2003 R2 x64");
  WindowsVersion storage{5, 2, 3, kSuiteStorageServer, false};
  EXPECT_EQ(windowsVersionName(storage, "i386"), "Storage Server 2003");
  EXPECT_EQ(windowsVersionName({5, 0, 1, 0, false}, "i386"), "2000");
  EXPECT_EQ(windowsVersionName({5, 1, 1, 0, false}, "i386"), "XP");
  EXPECT_EQ(windowsVersionName({5, 3, 1, 0, false}, "i386"), "5 3");
  EXPECT_EQ(windowsVersionName({6, 0, 1, 0, false}, "amd64"), "Vista x64");
  EXPECT_EQ(windowsVersionName({6, 1, 1, 0, false}, "i386"), "Vista");
  EXPECT_EQ(windowsVersionName({6, 1, 3, 0, false}, "ia64"), "Server 2008 ia64");
  EXPECT_EQ(windowsVersionName({4, 0, 1, 0, false}, "i386"), "NT 4.0");
  EXPECT_EQ(windowsVersionName({10, 0, 1, 0, false}, "amd64"), "10 0");
}

}  // namespace
}  // namespace Vantor::platform
