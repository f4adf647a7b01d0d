#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using Vantor::testing::fileExists;
using Vantor::testing::readFile;
using Vantor::testing::TempDir;
using Vantor::testing::writeFile;

FileSystem& fs() { return testing::systemEnv().fileSystem(); }

TEST(FileSystemTest, StreamModesCreateEmptyAppendAndUpdate) {
  TempDir dir;
  std::string path = dir.file("f");
  EXPECT_EQ(fs().openStream(path, StreamMode::kRead).error(), kErrorFileNotFound);

  std::unique_ptr<FileStream> write = std::move(fs().openStream(path, StreamMode::kWrite).value());
  ASSERT_NE(write, nullptr);
  ASSERT_TRUE(write->write("hello\r\n", 7));
  ASSERT_TRUE(write->close());
  EXPECT_EQ(readFile(path), "hello\r\n");  // bytes, no translation

  std::unique_ptr<FileStream> append =
      std::move(fs().openStream(path, StreamMode::kAppend).value());
  ASSERT_TRUE(append->write("more", 4));
  append.reset();  // the destructor closes and flushes
  EXPECT_EQ(readFile(path), "hello\r\nmore");

  std::unique_ptr<FileStream> update =
      std::move(fs().openStream(path, StreamMode::kUpdate).value());
  char buffer[5] = {};
  ASSERT_EQ(update->read(buffer, 5), 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  ASSERT_TRUE(update->write("!!", 2));  // a write right after a read
  ASSERT_EQ(update->read(buffer, 4), 4u);
  EXPECT_EQ(std::string(buffer, 4), "more");
  EXPECT_TRUE(update->atEnd());
  EXPECT_FALSE(update->error());
  ASSERT_TRUE(update->seek(-4, SeekOrigin::kEnd));
  EXPECT_EQ(update->tell(), 7);
  EXPECT_FALSE(update->atEnd());
  ASSERT_TRUE(update->sync());
  update.reset();
  EXPECT_EQ(readFile(path), "hello!!more");

  EXPECT_EQ(fs().openStream(path, StreamMode::kCreateExclusive).error(), kErrorFileExists);
  EXPECT_EQ(fs().openStream(dir.path(), StreamMode::kRead).error(), kErrorAccessDenied);
}

TEST(FileSystemTest, RenameCopyAndRemoveRespectTheirGuards) {
  TempDir dir;
  writeFile(dir.file("a"), "A");
  writeFile(dir.file("b"), "B");
  EXPECT_EQ(fs().rename(dir.file("a"), dir.file("b"), false).code(), kErrorAlreadyExists);
  ASSERT_TRUE(fs().rename(dir.file("a"), dir.file("b"), true));
  EXPECT_EQ(readFile(dir.file("b")), "A");
  EXPECT_FALSE(fileExists(dir.file("a")));
  ASSERT_TRUE(fs().rename(dir.file("b"), dir.file("c"), false));

  ASSERT_EQ(::chmod(dir.file("c").c_str(), 0640), 0);
  ASSERT_TRUE(fs().copyFile(dir.file("c"), dir.file("d"), false));
  struct stat status {};
  ASSERT_EQ(::stat(dir.file("d").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0640u);
  EXPECT_EQ(fs().copyFile(dir.file("c"), dir.file("d"), false).code(), kErrorFileExists);
  writeFile(dir.file("c"), "newer");
  ASSERT_TRUE(fs().copyFile(dir.file("c"), dir.file("d"), true));
  EXPECT_EQ(readFile(dir.file("d")), "newer");
  EXPECT_EQ(fs().copyFile(dir.file("missing"), dir.file("e"), true).code(), kErrorFileNotFound);

  ASSERT_EQ(::chmod(dir.file("d").c_str(), 0444), 0);
  EXPECT_EQ(fs().removeFile(dir.file("d"), false).code(), kErrorAccessDenied);
  EXPECT_TRUE(fs().removeFile(dir.file("d"), true));
  EXPECT_EQ(fs().removeFile(dir.file("d"), true).code(), kErrorFileNotFound);
  EXPECT_FALSE(fs().removeFile(dir.path(), true));  // never a directory
}

TEST(FileSystemTest, ListingInfoAndPaths) {
  TempDir dir;
  writeFile(dir.file("one.make"), "1");
  writeFile(dir.file("two.make"), "22");
  writeFile(dir.file("two.data"), "");
  ASSERT_TRUE(fs().makeDirectory(dir.file("sub.make")));
  EXPECT_EQ(fs().makeDirectory(dir.file("sub.make")).code(), kErrorAlreadyExists);

  std::vector<DirEntry> entries;
  ASSERT_TRUE(fs().listDirectory(dir.path(), &entries));
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[0].name, "one.make");
  EXPECT_TRUE(entries[0].isFile);
  EXPECT_EQ(entries[1].name, "sub.make");
  EXPECT_FALSE(entries[1].isFile);
  EXPECT_EQ(entries[3].name, "two.make");
  EXPECT_EQ(fs().listDirectory(dir.file("nowhere"), &entries).code(), kErrorFileNotFound);

  PathInfo info;
  ASSERT_TRUE(fs().getInfo(dir.file("two.make"), &info));
  EXPECT_EQ(info.size, 2u);
  EXPECT_EQ(info.attributes, kAttributeNormal);
  EXPECT_GT(info.lastWriteTime, 0);
  ASSERT_TRUE(fs().getInfo(dir.file("sub.make"), &info));
  EXPECT_TRUE(info.isDirectory);
  EXPECT_TRUE(info.attributes & kAttributeDirectory);
  EXPECT_EQ(fs().getInfo(dir.file("nope"), &info).code(), kErrorFileNotFound);

  std::string absolute;
  ASSERT_TRUE(fs().absolutePath("/a/./b/../c//d/", &absolute));
  EXPECT_EQ(absolute, "/a/c/d");
  ASSERT_TRUE(fs().absolutePath("/..", &absolute));
  EXPECT_EQ(absolute, "/");
  std::string current;
  ASSERT_TRUE(fs().currentDirectory(&current));
  ASSERT_TRUE(fs().absolutePath("x", &absolute));
  EXPECT_EQ(absolute, (current == "/" ? "" : current) + "/x");
}

}  // namespace
}  // namespace Vantor::platform
