#include <gtest/gtest.h>

#include "foundation/InventoryOps.h"
#include "foundation/SystemInfo.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

class SystemInfoTest : public ::testing::Test {
 protected:
  SystemInfoTest() : env_("VANTOR_REGISTRY", dir_.file("registry.reg").c_str()) {}

  void writeRegistry(const std::string& values) {
    writeFile(dir_.file("registry.reg"),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n" +
                  values);
  }

  TempDir dir_;
  ScopedEnv env_;
};

TEST_F(SystemInfoTest, StringsExpandReferencesToOtherValues) {
  writeRegistry(
      "\"InstallDir\"=\"/opt/vantor/\"\n"
      "\"ConfigurationDir\"=\"${InstallDir}conf/\"\n"
      "\"LogDir\"=\"${ConfigurationDir}../log/${Missing}/x\"\n"
      "\"Empty\"=\"\"\n"
      "\"Twice\"=\"${Empty}${InstallDir}\"\n"
      "\"Self\"=\"a${Self}b\"\n"
      "\"Ping\"=\"${Pong}\"\n"
      "\"Pong\"=\"${Ping}\"\n"
      "\"Short\"=\"${}\"\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
      "\"Counter\"=dword:0000002a\n");
  std::string value;
  ASSERT_EQ(
      SystemInfo::getResourceString(testing::systemEnv().registry(), "ConfigurationDir", value),
      SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, "/opt/vantor/conf/");
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "LogDir", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, "/opt/vantor/conf/../log/${Missing}/x");
  // An empty value must not hide the reference right behind it.
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Twice", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, "/opt/vantor/");
  // References in a ring end; the innermost stays unexpanded.
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Self", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_NE(value.find("${Self}"), std::string::npos);
  EXPECT_EQ(value.front(), 'a');
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Ping", value),
            SystemInfo::RESOURCE_OK);
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Short", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, "${}");
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Multi", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, std::string("a\0b", 3));
  EXPECT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Counter", value),
            SystemInfo::RESOURCE_WRONG_TYPE);
  EXPECT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "Nothing", value),
            SystemInfo::RESOURCE_NOT_FOUND);
  std::uint32_t number = 0;
  ASSERT_EQ(SystemInfo::getResourceDword(testing::systemEnv().registry(), "Counter", number),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(number, 42u);
  EXPECT_EQ(SystemInfo::getResourceDword(testing::systemEnv().registry(), "InstallDir", number),
            SystemInfo::RESOURCE_WRONG_TYPE);
  EXPECT_EQ(SystemInfo::getResourceDword(testing::systemEnv().registry(), "Nothing", number),
            SystemInfo::RESOURCE_NOT_FOUND);
}

TEST_F(SystemInfoTest, WrittenStringsReadBackAndDamageReadsAsMissing) {
  std::string value;
  EXPECT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "LogOpened", value),
            SystemInfo::RESOURCE_NOT_FOUND);
  ASSERT_EQ(SystemInfo::setResourceString(testing::systemEnv().registry(), "LogOpened",
                                          "20081201T000000Z"),
            SystemInfo::RESOURCE_OK);
  ASSERT_EQ(SystemInfo::setResourceString(testing::systemEnv().registry(), "LogCounter", "7"),
            SystemInfo::RESOURCE_OK);
  ASSERT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "LogOpened", value),
            SystemInfo::RESOURCE_OK);
  EXPECT_EQ(value, "20081201T000000Z");
  writeFile(dir_.file("registry.reg"), "\x01\x02 garbage [[[\n\"LogCounter\"=\"7");
  EXPECT_EQ(SystemInfo::getResourceString(testing::systemEnv().registry(), "LogCounter", value),
            SystemInfo::RESOURCE_NOT_FOUND);
  ScopedEnv nowhere("VANTOR_REGISTRY", dir_.file("none/registry.reg").c_str());
  EXPECT_EQ(SystemInfo::setResourceString(testing::systemEnv().registry(), "X", "1"),
            SystemInfo::RESOURCE_NO_MEMORY);
}

TEST(InventoryOpsTest, StaticInfoIsComplete) {
  InventoryOps::StaticInfo info = InventoryOps::getStaticInfo(testing::systemEnv().systemFacts());
  EXPECT_FALSE(info.computerName.empty());
  EXPECT_FALSE(info.domain.empty());
  EXPECT_FALSE(info.osName.empty());
  EXPECT_NE(info.architecture, "error");
  EXPECT_GE(InventoryOps::windowsVersion(testing::systemEnv().systemFacts()), 60);
  EXPECT_EQ(InventoryOps::isWow64(testing::systemEnv().systemFacts()), sizeof(void*) == 4);
}

}  // namespace
}  // namespace Vantor
