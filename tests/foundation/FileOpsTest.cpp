#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "foundation/FileOps.h"
#include "platform/ErrorCodes.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::fileExists;
using testing::readFile;
using testing::ScopedEnv;
using testing::TempDir;
using testing::writeFile;

TEST(FileOpsTest, ExistsListsAndDescribes) {
  TempDir dir;
  writeFile(dir.file("a.make"), "abc");
  writeFile(dir.file("b.data"), "");
  EXPECT_TRUE(FileOps::exists(testing::systemEnv(), dir.file("a.make")));
  EXPECT_TRUE(FileOps::exists(testing::systemEnv(), dir.path()));
  EXPECT_FALSE(FileOps::exists(testing::systemEnv(), dir.file("c.make")));
  EXPECT_TRUE(FileOps::exists(testing::systemEnv(), dir.file("*.make")));
  EXPECT_TRUE(FileOps::exists(testing::systemEnv(), dir.file("?.data")));
  EXPECT_FALSE(FileOps::exists(testing::systemEnv(), dir.file("*.tmp")));
#ifndef _WIN32
  EXPECT_FALSE(FileOps::exists(testing::systemEnv(), "C:"));  // no drive letters here
#endif

  std::vector<FileOps::ListEntry> entries;
  ASSERT_TRUE(FileOps::list(testing::systemEnv(), dir.file("*"), &entries));
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "a.make");
  EXPECT_TRUE(entries[0].isFile);
  entries.clear();
  ASSERT_TRUE(FileOps::list(testing::systemEnv(), dir.file("*.make"), &entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "a.make");

  FileOps::FileInfo info;
  ASSERT_TRUE(FileOps::getInfo(testing::systemEnv(), dir.file("a.make"), &info));
  EXPECT_EQ(info.fullPath, dir.file("a.make"));
  EXPECT_EQ(info.size, 3u);
  EXPECT_FALSE(info.isDirectory());
  EXPECT_EQ(FileOps::getInfo(testing::systemEnv(), dir.file("none"), &info).code(),
            platform::kErrorFileNotFound);
}

TEST(FileOpsTest, MoveCopyRemoveAndDirectories) {
  TempDir dir;
  writeFile(dir.file("x"), "X");
  writeFile(dir.file("y"), "Y");
  EXPECT_EQ(FileOps::move(testing::systemEnv(), dir.file("x"), dir.file("y"), false).code(),
            platform::kErrorAlreadyExists);
  ASSERT_TRUE(FileOps::move(testing::systemEnv(), dir.file("x"), dir.file("y"), true));
  EXPECT_EQ(readFile(dir.file("y")), "X");
  EXPECT_FALSE(FileOps::copy(testing::systemEnv(), dir.file("x"), dir.file("z"), true));
  ASSERT_TRUE(FileOps::copy(testing::systemEnv(), dir.file("y"), dir.file("z"), false));
  // Read-only: a write-protected file on Windows.
  std::filesystem::permissions(dir.file("z"), std::filesystem::perms::owner_read |
                                                  std::filesystem::perms::group_read |
                                                  std::filesystem::perms::others_read);
  EXPECT_FALSE(FileOps::remove(testing::systemEnv(), dir.file("z"), false));
  EXPECT_TRUE(FileOps::remove(testing::systemEnv(), dir.file("z"), true));

  std::string deep = dir.file("a/b/c/file.txt");
  ASSERT_TRUE(FileOps::makeParentDirs(testing::systemEnv(), deep));
  EXPECT_TRUE(fileExists(dir.file("a/b/c")));
  EXPECT_FALSE(fileExists(deep));
  EXPECT_TRUE(FileOps::makeParentDirs(testing::systemEnv(), deep));  // all there already
  EXPECT_FALSE(
      FileOps::makeParentDirs(testing::systemEnv(), dir.file("y/below/file")));  // y is a file
  EXPECT_TRUE(FileOps::makeParentDirs(testing::systemEnv(), "relative-name-only"));
  EXPECT_TRUE(FileOps::makeDir(testing::systemEnv(), dir.file("new")));
  EXPECT_FALSE(FileOps::makeDir(testing::systemEnv(), dir.file("new")));
  std::string current;
  EXPECT_TRUE(FileOps::currentDir(testing::systemEnv(), &current));
  EXPECT_FALSE(current.empty());
}

TEST(FileOpsTest, SpecialPrefixesOfSystemImagePaths) {
  std::string out = "unchanged";
  EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\c:", &out));
  EXPECT_EQ(out, "c:");
  EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "/D:", &out));
  EXPECT_EQ(out, "D:");
  EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\??", &out));
  EXPECT_EQ(out, "");
  EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "/??", &out));
  {
    ScopedEnv set("TARNWICK_TEST_PREFIX", "/opt/prefix");
    EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "%TARNWICK_TEST_PREFIX%", &out));
    EXPECT_EQ(out, "/opt/prefix");
  }
  EXPECT_FALSE(FileOps::expandSpecialPrefix(testing::systemEnv(), "%TARNWICK_TEST_PREFIX%", &out));
#ifdef _WIN32
  // The system names its own directory, whatever the environment says.
  EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\SystemRoot", &out));
  EXPECT_EQ(out, testing::systemEnv().systemFacts().windowsDirectory());
#else
  {
    ScopedEnv windir("WINDIR", nullptr);
    ScopedEnv root("SystemRoot", nullptr);
    EXPECT_EQ(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\SystemRoot", &out).code(),
              platform::kErrorPathNotFound);
  }
  {
    ScopedEnv windir("WINDIR", "/srv/win");
    EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\SystemRoot", &out));
    EXPECT_EQ(out, "/srv/win");
    EXPECT_TRUE(FileOps::expandSpecialPrefix(testing::systemEnv(), "/systemroot", &out));
  }
#endif
  EXPECT_FALSE(FileOps::expandSpecialPrefix(testing::systemEnv(), "\\Windows", &out));
  EXPECT_FALSE(FileOps::expandSpecialPrefix(testing::systemEnv(), "", &out));
  EXPECT_FALSE(FileOps::expandSpecialPrefix(testing::systemEnv(), "%", &out));
}

}  // namespace
}  // namespace Vantor
