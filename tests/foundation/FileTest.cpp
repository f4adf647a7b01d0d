#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "foundation/FileException.h"
#include "foundation/FileFactory.h"
#include "foundation/FilePlain.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::fileExists;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;

constexpr std::uint32_t R = FileBase::ACCESS_READ;
constexpr std::uint32_t W = FileBase::ACCESS_WRITE;

// The code of the FileException that action throws, or -1.
template <typename Action>
std::int32_t codeOf(Action action, std::string* detail = nullptr) {
  try {
    action();
  } catch (const FileException& error) {
    if (detail != nullptr) *detail = error.getDetail();
    return error.getCode();
  }
  return -1;
}

TEST(FileTest, OpenRejectsWhatCannotWork) {
  TempDir dir;
  std::string path = dir.file("conf");
  FilePlain file(testing::systemEnv(), path);
  std::string detail;
  EXPECT_EQ(codeOf([&] { file.open(R); }, &detail), FileException::FL_EXISTS_NOT);
  EXPECT_EQ(detail, path + "-->File does not exist.");
  writeFile(path, "x");
  for (std::uint32_t flags :
       {R | FileBase::ACCESS_TRUNCATE, R | FileBase::ACCESS_RESERVED, R | FileBase::ACCESS_APPEND,
        R | W | FileBase::ACCESS_TRUNCATE | FileBase::ACCESS_APPEND, FileBase::ACCESS_UNSAFE, 0u}) {
    EXPECT_EQ(codeOf([&] { file.open(flags); }), FileException::FL_ACCESS_COMB) << flags;
  }
  EXPECT_FALSE(fileExists(path + ".lock"));
  file.open(R);
  EXPECT_EQ(codeOf([&] { file.open(R); }), FileException::FL_IS_OPEN);
  EXPECT_EQ(codeOf([&] { file.writeString("y"); }), FileException::FL_CANNOT_WRITE);
  file.close();
  EXPECT_EQ(codeOf([&] { file.readLine(); }), FileException::FL_IS_CLOSED);
  EXPECT_EQ(codeOf([&] { file.close(); }), FileException::FL_IS_CLOSED);
  file.open(W | FileBase::ACCESS_UNSAFE);
  EXPECT_EQ(codeOf([&] { file.readLine(); }), FileException::FL_CANNOT_READ);
  file.close();
  EXPECT_EQ(codeOf([&] { FilePlain(testing::systemEnv(), dir.file("no/such/dir/f")).open(W); }),
            FileException::FL_CANNOT_LOCK);
  EXPECT_EQ(codeOf([&] { FilePlain(testing::systemEnv(), dir.path()).open(R); }),
            FileException::FL_CANNOT_OPEN);
}

TEST(FileTest, SafeUpdateWritesACopyThatReplacesTheFileOnClose) {
  TempDir dir;
  std::string path = dir.file("data");
  writeFile(path, "old\n");
  FilePlain file(testing::systemEnv(), path);
  file.open(W | FileBase::ACCESS_APPEND);
  EXPECT_TRUE(file.isSafeUpdate());
  EXPECT_EQ(file.tell(), 4u);
  file.writeLine("new");
  EXPECT_EQ(file.size(), 8u);  // the copy being written, buffered bytes included
  EXPECT_EQ(readFile(path), "old\n");
  EXPECT_EQ(readFile(path + ".tmp"), "old\nnew\n");
  std::string lock = readFile(path + ".lock");
  EXPECT_EQ(std::count(lock.begin(), lock.end(), '\n'), 4);
  EXPECT_NE(lock.find("\noriginal\n"), std::string::npos);
  file.close();
  EXPECT_EQ(readFile(path), "old\nnew\n");
  EXPECT_FALSE(fileExists(path + ".tmp"));
  EXPECT_FALSE(fileExists(path + ".lock"));

  file.open(W);
  file.writeString("discarded");
  file.abort();
  EXPECT_EQ(readFile(path), "old\nnew\n");
  EXPECT_FALSE(fileExists(path + ".tmp"));
  EXPECT_FALSE(fileExists(path + ".lock"));

  {
    FilePlain forgotten(testing::systemEnv(), path);
    forgotten.open(W);
    forgotten.writeString("half a record");
  }  // destroyed while open: nothing half-written reaches the file
  EXPECT_EQ(readFile(path), "old\nnew\n");
  EXPECT_FALSE(fileExists(path + ".lock"));

  FilePlain fresh(testing::systemEnv(), dir.file("fresh"));
  fresh.open(W);
  EXPECT_EQ(readFile(dir.file("fresh.lock")).find("missing"), 52u);
  fresh.writeLine("first");
  fresh.close();
  EXPECT_EQ(readFile(dir.file("fresh")), "first\n");
}

TEST(FileTest, UnsafeAndUnlockedWritesGoStraightToTheFile) {
  TempDir dir;
  std::string path = dir.file("log");
  FilePlain file(testing::systemEnv(), path);
  file.open(W | FileBase::ACCESS_UNSAFE | FileBase::ACCESS_APPEND);
  EXPECT_FALSE(file.isSafeUpdate());
  EXPECT_TRUE(fileExists(path + ".lock"));
  EXPECT_NE(readFile(path + ".lock").find("\nmissing\n"), std::string::npos);
  file.writeLine("one");
  file.flush();
  EXPECT_EQ(readFile(path), "one\n");
  file.close();
  file.open(W | FileBase::ACCESS_NOLOCK | FileBase::ACCESS_APPEND);
  EXPECT_FALSE(fileExists(path + ".lock"));
  file.writeLine("two");
  file.close();
  EXPECT_EQ(readFile(path), "one\ntwo\n");
}

TEST(FileTest, ReadingLinesBytesAndPositions) {
  TempDir dir;
  std::string path = dir.file("lines");
  writeFile(path, "alpha\r\n\nomega");
  FilePlain file(testing::systemEnv(), path);
  file.open(R);
  EXPECT_EQ(file.readLine(), "alpha\r");  // bytes as they are: no CR stripping
  EXPECT_EQ(file.readLine(), "");
  EXPECT_FALSE(file.isEof());
  EXPECT_EQ(file.readLine(), "omega");
  EXPECT_TRUE(file.isEof());
  EXPECT_EQ(codeOf([&] { file.readLine(); }), FileException::FL_EOF);
  file.seek(2, FileBase::OFFSET_BEGIN);
  std::string text;
  EXPECT_EQ(file.readString(text, 3), 3u);
  EXPECT_EQ(text, "pha");
  file.seek(-5, FileBase::OFFSET_END);
  EXPECT_EQ(file.tell(), 8u);
  EXPECT_EQ(file.readString(text, 100), 5u);
  EXPECT_EQ(text, "omega");
  EXPECT_EQ(codeOf([&] { file.readString(text, 1); }), FileException::FL_EOF);
  EXPECT_EQ(codeOf([&] { file.seek(-100, FileBase::OFFSET_CURRENT); }), FileException::FL_POSITION);
  file.close();

  FilePlain update(testing::systemEnv(), path);
  update.open(R | W | FileBase::ACCESS_TRUNCATE);
  update.writeString("abc");
  update.seek(0, FileBase::OFFSET_BEGIN);
  EXPECT_EQ(update.readLine(), "abc");
  update.close();
  EXPECT_EQ(readFile(path), "abc");
}

TEST(FileTest, ASecondWriterIsLockedOutUntilTheFirstCloses) {
  TempDir dir;
  std::string path = dir.file("shared");
  FilePlain first(testing::systemEnv(), path);
  first.open(W);
  FilePlain second(testing::systemEnv(), path);
  EXPECT_EQ(codeOf([&] { second.open(W); }), FileException::FL_IS_LOCKED);
  EXPECT_FALSE(second.isOpen());
  second.open(R | FileBase::ACCESS_NOLOCK | W);  // no lock asked for, none checked
  second.close();
  first.writeLine("first");
  first.close();
  second.open(W | FileBase::ACCESS_APPEND);
  second.writeLine("second");
  second.close();
  EXPECT_EQ(readFile(path), "first\nsecond\n");
}

#ifndef _WIN32
TEST(FileTest, AWriterKilledMidWriteLeavesTheOldContentAndAnExpiringLock) {
  TempDir dir;
  std::string path = dir.file("records.make");
  writeFile(path, "committed\n");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FilePlain writer(testing::systemEnv(), path);
    writer.setLockTimeout(TimeSpan(3));
    writer.open(W | FileBase::ACCESS_APPEND);
    for (int i = 0; i < 1000; ++i) writer.writeLine("uncommitted record " + std::to_string(i));
    writer.flush();
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  ASSERT_EQ(::waitpid(child, nullptr, 0), child);

  EXPECT_EQ(readFile(path), "committed\n");
  EXPECT_TRUE(fileExists(path + ".tmp"));
  std::string lock = readFile(path + ".lock");
  DateTime expiry(lock.substr(17, 16));

  FilePlain next(testing::systemEnv(), path);
  next.setLockTimeout(TimeSpan(30));
  bool opened = testing::waitUntil(
      [&] {
        DateTime before;
        std::int32_t code = codeOf([&] { next.open(W | FileBase::ACCESS_APPEND); });
        DateTime after;
        if (code == FileException::FL_IS_LOCKED) {
          EXPECT_LT(before, expiry) << "still locked after the expiry";
          return false;
        }
        EXPECT_EQ(code, -1);
        EXPECT_GE(after, expiry) << "a valid lock was broken";
        return true;
      },
      std::chrono::seconds(15));
  ASSERT_TRUE(opened);
  next.writeLine("recovered");
  next.close();
  EXPECT_EQ(readFile(path), "committed\nrecovered\n");
  EXPECT_FALSE(fileExists(path + ".tmp"));
  EXPECT_FALSE(fileExists(path + ".lock"));
}
#endif

TEST(FileTest, FactoryPicksTheKindByExactExtension) {
  EXPECT_NE(dynamic_cast<FilePlain*>(FileFactory::create(testing::systemEnv(), "a.GZ").get()),
            nullptr);
  EXPECT_NE(dynamic_cast<FilePlain*>(FileFactory::create(testing::systemEnv(), "a.gz.tmp").get()),
            nullptr);
  EXPECT_EQ(dynamic_cast<FilePlain*>(FileFactory::create(testing::systemEnv(), "a.gz").get()),
            nullptr);
  EXPECT_FALSE(FileFactory::create(testing::systemEnv(), "a.gz")->isOpen());
}

}  // namespace
}  // namespace Vantor
