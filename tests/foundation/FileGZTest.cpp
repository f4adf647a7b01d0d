#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>

#include "foundation/FileException.h"
#include "foundation/FileFactory.h"
#include "foundation/FileGZ.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::fileExists;
using testing::TempDir;

constexpr std::uint32_t R = FileBase::ACCESS_READ;
constexpr std::uint32_t W = FileBase::ACCESS_WRITE;

#ifdef _WIN32
// Windows has no gzip of its own (nor does Wine): zlib's reader, which the files are written
// for, stands in for it there; the Linux build reads the same files with gzip itself.
std::string gunzip(const std::string& path) {
  gzFile file = gzopen(path.c_str(), "rb");
  EXPECT_NE(file, nullptr) << path;
  if (file == nullptr) return "";
  std::string output;
  char buffer[4096];
  int got = 0;
  while ((got = gzread(file, buffer, sizeof buffer)) > 0) output.append(buffer, got);
  EXPECT_EQ(got, 0) << path;
  EXPECT_EQ(gzclose(file), Z_OK);
  return output;
}
#else
// What the system's gzip makes of the file.
std::string gunzip(const std::string& path) {
  std::string command = "gzip -dc '" + path + "' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, got);
  EXPECT_EQ(::pclose(pipe), 0) << output;
  return output;
}
#endif

std::string sampleBytes() {
  std::string bytes;
  for (int i = 0; i < 70000; ++i) bytes.push_back(static_cast<char>((i * 7919) % 256));
  return bytes;
}

TEST(FileGZTest, WrittenBytesDecompressWithGzip) {
  TempDir dir;
  std::string path = dir.file("usage.gz");
  auto file = FileFactory::create(testing::systemEnv(), path);
  ASSERT_NE(dynamic_cast<FileGZ*>(file.get()), nullptr);
  file->open(W);
  file->writeLine("first line");
  std::string bytes = sampleBytes();
  file->write(bytes.data(), bytes.size());
  EXPECT_EQ(file->tell(), 11u + bytes.size());
  file->close();
  EXPECT_EQ(gunzip(path), "first line\n" + bytes);
  EXPECT_FALSE(fileExists(path + ".tmp"));
  EXPECT_FALSE(fileExists(path + ".lock"));

  file->open(R);
  EXPECT_EQ(file->readLine(), "first line");
  std::string back;
  EXPECT_EQ(file->readString(back, bytes.size() + 10), bytes.size());
  EXPECT_EQ(back, bytes);
  EXPECT_TRUE(file->isEof());
  std::string none;
  EXPECT_THROW(file->readString(none, 1), FileException);
  file->close();
}

TEST(FileGZTest, AppendKeepsTheOldContentFirstAndLeavesNoSideCopy) {
  TempDir dir;
  std::string path = dir.file("module.gz");
  for (std::uint32_t extra : {0u, FileBase::ACCESS_UNSAFE}) {
    FileGZ file(testing::systemEnv(), path);
    file.open(W);
    file.writeLine("old record");
    file.close();
    file.open(W | FileBase::ACCESS_APPEND | extra);
    EXPECT_EQ(file.tell(), 11u);
    file.writeLine("new record");
    file.close();
    EXPECT_EQ(gunzip(path), "old record\nnew record\n") << extra;
    EXPECT_FALSE(fileExists(path + ".orig.copy"));
    EXPECT_FALSE(fileExists(path + ".tmp.orig.copy"));
    EXPECT_FALSE(fileExists(path + ".tmp"));
  }
  FileGZ missing(testing::systemEnv(), dir.file("new.gz"));
  missing.open(W | FileBase::ACCESS_APPEND);
  missing.writeString("only");
  missing.close();
  EXPECT_EQ(gunzip(dir.file("new.gz")), "only");
}

TEST(FileGZTest, LongLinesArriveInPieces) {
  TempDir dir;
  std::string path = dir.file("long.gz");
  FileGZ file(testing::systemEnv(), path);
  file.open(W);
  file.writeLine(std::string(20000, 'x'));
  file.writeLine("short");
  file.close();
  file.open(R);
  EXPECT_EQ(file.readLine().size(), 8191u);
  EXPECT_EQ(file.readLine().size(), 8191u);
  EXPECT_EQ(file.readLine().size(), 20000u - 2 * 8191u);
  EXPECT_EQ(file.readLine(), "short");
  EXPECT_TRUE(file.isEof());
  file.close();

  // NUL bytes are bytes like any other: inside a line, and at its start.
  using namespace std::string_literals;
  file.open(W);
  file.writeString("a\0b\n\0c\nlast\n"s);
  file.close();
  file.open(R);
  EXPECT_EQ(file.readLine(), "a\0b"s);
  EXPECT_EQ(file.readLine(), "\0c"s);
  EXPECT_EQ(file.readLine(), "last");
  file.close();
}

TEST(FileGZTest, WhatAGzipStreamCannotDoIsRefused) {
  TempDir dir;
  std::string path = dir.file("f.gz");
  FileGZ file(testing::systemEnv(), path);
  try {
    file.open(R | W);
    FAIL();
  } catch (const FileException& error) {
    EXPECT_EQ(error.getCode(), FileException::FL_ACCESS_COMB);
    EXPECT_EQ(error.getDetail(),
              "Cannot open gzip file: " + path + "\tfor both reading and writing.");
  }
  try {
    file.open(FileBase::ACCESS_UNSAFE);
    FAIL();
  } catch (const FileException& error) {
    EXPECT_EQ(error.getDetail(),
              "Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE allowed for gzip "
              "file: " +
                  path);
  }
  file.open(W);
  file.writeString("0123456789");
  file.seek(5, FileBase::OFFSET_CURRENT);  // forward: zeros
  EXPECT_EQ(file.tell(), 15u);
  try {
    file.seek(0, FileBase::OFFSET_BEGIN);
    FAIL();
  } catch (const FileException& error) {
    EXPECT_EQ(error.getCode(), FileException::FL_ERROR);
    EXPECT_EQ(error.getDetail(), "FileGZ does not support negative seek for FILE_WRITE.");
  }
  try {
    file.seek(0, FileBase::OFFSET_END);
    FAIL();
  } catch (const FileException& error) {
    EXPECT_EQ(error.getDetail(), "FileGZ does not support OFFSET_END.");
  }
  file.close();
  EXPECT_EQ(gunzip(path), std::string("0123456789") + std::string(5, '\0'));
  file.open(R);
  file.seek(8, FileBase::OFFSET_BEGIN);
  file.seek(-4, FileBase::OFFSET_CURRENT);  // reading may go back
  std::string text;
  file.readString(text, 3);
  EXPECT_EQ(text, "456");
  file.close();
  // zlib reads a file without a gzip header as it is, like gzip -c would.
  testing::writeFile(dir.file("plain.gz"), "not compressed\n");
  FileGZ plain(testing::systemEnv(), dir.file("plain.gz"));
  plain.open(R);
  EXPECT_EQ(plain.readLine(), "not compressed");
  plain.close();
}

}  // namespace
}  // namespace Vantor
