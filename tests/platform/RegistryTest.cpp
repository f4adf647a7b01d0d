#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Registry.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using Vantor::testing::ScopedEnv;
using Vantor::testing::TempDir;

constexpr char kKey[] = "SOFTWARE\\Vantor\\Resources";

TEST(RegistryTest, WritesAreReadBackAndTheFileKeepsItsMode) {
  TempDir dir;
  std::string path = dir.file("registry.reg");
  ScopedEnv env("VANTOR_REGISTRY", path.c_str());
  Registry& registry = testing::systemEnv().registry();
  RegistryValue value;
  EXPECT_EQ(registry.queryValue(kKey, "InstallDir", &value), kErrorFileNotFound);

  ASSERT_EQ(registry.setString(kKey, "InstallDir", "/opt/vantor/"), kErrorSuccess);
  ASSERT_EQ(registry.queryValue(kKey, "installdir", &value), kErrorSuccess);
  EXPECT_EQ(value.type, kRegSz);
  EXPECT_EQ(value.data, std::string("/opt/vantor/\0", 13));
  EXPECT_EQ(registry.queryValue("SOFTWARE\\Other", "InstallDir", &value), kErrorFileNotFound);

  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(registry.setString(kKey, "InstallDir", "/srv/vantor/"), kErrorSuccess);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ASSERT_EQ(registry.queryValue(kKey, "InstallDir", &value), kErrorSuccess);
  EXPECT_EQ(value.data, std::string("/srv/vantor/\0", 13));
  EXPECT_FALSE(Vantor::testing::fileExists(path + ".tmp"));
}

TEST(RegistryTest, AWriteGoesNeitherThroughAPlantedNameNorOverTheAdministratorsLink) {
  TempDir dir;
  std::string real = dir.file("real.reg");
  std::string linked = dir.file("registry.reg");
  std::string victim = dir.file("victim");
  Vantor::testing::writeFile(victim, "precious");
  Vantor::testing::writeFile(real, "");
  ASSERT_EQ(::symlink(real.c_str(), linked.c_str()), 0);
  // Where another user might have put a link, in a folder that others may write.
  ASSERT_EQ(::symlink(victim.c_str(), (linked + ".tmp").c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), (real + ".tmp").c_str()), 0);
  ScopedEnv env("VANTOR_REGISTRY", linked.c_str());
  Registry& registry = testing::systemEnv().registry();
  ASSERT_EQ(registry.setString(kKey, "InstallDir", "/opt/vantor/"), kErrorSuccess);
  EXPECT_EQ(Vantor::testing::readFile(victim), "precious");
  struct stat status {};
  ASSERT_EQ(::lstat(linked.c_str(), &status), 0);
  EXPECT_TRUE(S_ISLNK(status.st_mode));  // the link stays, and its file has the value
  EXPECT_NE(Vantor::testing::readFile(real).find("\"InstallDir\"=\"/opt/vantor/\""),
            std::string::npos);
  // An export with no value in it adds nothing and says so.
  EXPECT_EQ(registry.addMissingStrings("garbage\n"), kErrorInvalidData);
}

TEST(RegistryTest, AWriteIntoAMissingDirectoryFails) {
  TempDir dir;
  ScopedEnv env("VANTOR_REGISTRY", dir.file("missing/registry.reg").c_str());
  EXPECT_EQ(testing::systemEnv().registry().setString(kKey, "A", "1"), kErrorFileNotFound);
}

TEST(RegistryTest, ConcurrentWritersFromTwoProcessesLoseNothing) {
  TempDir dir;
  std::string path = dir.file("registry.reg");
  ScopedEnv env("VANTOR_REGISTRY", path.c_str());
  constexpr int kValuesEach = 200;
  pid_t children[2];
  for (int writer = 0; writer < 2; ++writer) {
    children[writer] = ::fork();
    ASSERT_GE(children[writer], 0);
    if (children[writer] == 0) {
      for (int i = 0; i < kValuesEach; ++i) {
        std::string name = "W" + std::to_string(writer) + "_" + std::to_string(i);
        if (testing::systemEnv().registry().setString(kKey, name, std::to_string(i)) !=
            kErrorSuccess) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int writer = 0; writer < 2; ++writer) {
    for (int i = 0; i < kValuesEach; ++i) {
      RegistryValue value;
      std::string name = "W" + std::to_string(writer) + "_" + std::to_string(i);
      ASSERT_EQ(testing::systemEnv().registry().queryValue(kKey, name, &value), kErrorSuccess)
          << name;
      EXPECT_EQ(value.data, std::to_string(i) + std::string(1, '\0'));
    }
  }
}

}  // namespace
}  // namespace Vantor::platform
