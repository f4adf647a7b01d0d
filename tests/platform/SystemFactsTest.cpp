#include <gtest/gtest.h>
#include <sys/utsname.h>
#include <unistd.h>

#include "platform/Env.h"
#include "platform/SystemFacts.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

TEST(SystemFactsTest, DescribesThisMachine) {
  SystemFacts& facts = testing::systemEnv().systemFacts();
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
  EXPECT_FALSE(testing::systemEnv().systemFacts().windowsDirectory().has_value());
  Vantor::testing::ScopedEnv named("SystemRoot", "/srv/windows");
  EXPECT_EQ(testing::systemEnv().systemFacts().windowsDirectory().value_or(""), "/srv/windows");
}

}  // namespace
}  // namespace Vantor::platform
