#include <gtest/gtest.h>

#include "foundation/FileUtils.h"
#include "platform/PathSeparator.h"

namespace Vantor {
namespace {

TEST(FileUtilsTest, SplitsPathsAtEitherSeparator) {
  EXPECT_EQ(FileUtils::dirName("C:\\Vantor/log\\tarnwick.log"), "C:\\Vantor/log\\");
  EXPECT_EQ(FileUtils::dirName("tarnwick.log"), "");
  EXPECT_EQ(FileUtils::baseName("/var/log/tarnwick.log"), "tarnwick.log");
  EXPECT_EQ(FileUtils::baseName("dir\\"), "");
  EXPECT_EQ(FileUtils::extension("data.tar.gz"), "gz");
  EXPECT_EQ(FileUtils::extension("README"), "");
  // A dot in a directory name is not an extension.
  EXPECT_EQ(FileUtils::extension("/etc/vantor.d/tarnwick"), "");
  EXPECT_EQ(FileUtils::removeExtension("/etc/vantor.d/tarnwick"), "/etc/vantor.d/tarnwick");
  EXPECT_EQ(FileUtils::removeExtension("a/process.make"), "a/process");
  EXPECT_EQ(FileUtils::removeExtension("a/.hidden"), "a/");
}

TEST(FileUtilsTest, NormalisingKeepsTheFirstCharacterAndFoldsDoubledSeparators) {
  // Written with the platform's own separator after the first character.
  const std::string sep(1, platform::kPathSeparator);
  EXPECT_EQ(FileUtils::normaliseSeparators("\\\\server//share\\dir"),
            "\\" + sep + "server" + sep + "share" + sep + "dir");
  EXPECT_EQ(FileUtils::normaliseSeparators("//server\\\\share"),
            "/" + sep + "server" + sep + "share");
  EXPECT_EQ(FileUtils::normaliseSeparators("C:\\a\\\\b/"), "C:" + sep + "a" + sep + "b" + sep);
  EXPECT_EQ(FileUtils::normaliseSeparators(""), "");
  EXPECT_EQ(FileUtils::normaliseSeparators("/"), "/");
  EXPECT_EQ(FileUtils::ensureTrailingSeparator("/var/log"), "/var/log" + sep);
  EXPECT_EQ(FileUtils::ensureTrailingSeparator("C:\\log\\"), "C:\\log\\");
  EXPECT_EQ(FileUtils::ensureTrailingSeparator(""), sep);
  EXPECT_EQ(FileUtils::stripTrailingSeparators("/var/log//\\"), "/var/log");
  EXPECT_EQ(FileUtils::stripTrailingSeparators("///"), "/");
  EXPECT_EQ(FileUtils::stripTrailingSeparators("\\"), "\\");
}

TEST(FileUtilsTest, PlainFileNamesHaveNoWildcardsAndNoTrailingSeparator) {
  EXPECT_TRUE(FileUtils::isPlainFileName("accounts.conf"));
  EXPECT_FALSE(FileUtils::isPlainFileName("*.conf"));
  EXPECT_FALSE(FileUtils::isPlainFileName("a?.conf"));
  EXPECT_FALSE(FileUtils::isPlainFileName("accounts/"));
  EXPECT_FALSE(FileUtils::isPlainFileName("accounts\\"));
}

}  // namespace
}  // namespace Vantor
