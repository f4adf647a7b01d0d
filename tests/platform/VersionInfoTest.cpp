#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/Env.h"
#include "platform/VersionInfo.h"
#include "platform/posix/ByteSource.h"
#include "platform/posix/ElfPackageNote.h"
#include "platform/posix/PeVersionResource.h"
#include "support/ExecutableBuilder.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

using testing::PeStringTable;

std::string writerPe() {
  PeStringTable german{0x0407, 0x04e4, {{"FileDescription", "Textschreiber"}}};
  PeStringTable english{0x0409,
                        0x04b0,
                        {{"FileDescription", "  Test Writer "},
                         {"FileVersion", "1.2.3"},
                         {"ProductName", "Writing Suite"}}};
  return testing::buildPeFile({german, english}, {{0x0407, 0x04e4}, {0x0409, 0x04b0}});
}

TEST(PeVersionResourceTest, ReadsEveryTableAndTheTranslationList) {
  std::string image = writerPe();
  MemorySource file(image);
  ASSERT_TRUE(isPortableExecutable(file));
  VersionInfo info;
  ASSERT_TRUE(readPeVersionResource(file, 0x0409, &info));
  ASSERT_EQ(info.translations.size(), 2u);
  EXPECT_EQ(info.translations[0], std::make_pair(std::uint16_t{0x0407}, std::uint16_t{0x04e4}));
  EXPECT_EQ(info.query(0x0409, 0x04b0, "FileDescription"), "  Test Writer ");
  EXPECT_EQ(info.query(0x0409, 0x04b0, "ProductName"), "Writing Suite");
  EXPECT_EQ(info.query(0x0407, 0x04e4, "FileDescription"), "Textschreiber");
  EXPECT_EQ(info.query(0x0407, 0x04e4, "ProductName"), std::nullopt);
  EXPECT_EQ(info.query(0x0000, 0x04b0, "FileDescription"), std::nullopt);

  testing::TempDir dir;
  testing::writeFile(dir.file("writer.exe"), image);
  VersionInfo fromDisk;
  ASSERT_TRUE(testing::systemEnv().readVersionInfo(dir.file("writer.exe"), &fromDisk));
  EXPECT_EQ(fromDisk.tables, info.tables);
}

TEST(PeVersionResourceTest, OnlyRegularFilesReachedWithoutLinksAreRead) {
  // Paths come from executables' names: their owners may have put anything there since.
  testing::TempDir dir;
  std::filesystem::create_directories(dir.file("private"));
  testing::writeFile(dir.file("private/writer.exe"), writerPe());
  std::filesystem::create_directory_symlink(dir.file("private"), dir.file("linked"));
  std::filesystem::create_symlink(dir.file("private/writer.exe"), dir.file("writer-link.exe"));
  ASSERT_EQ(::mkfifo(dir.file("fifo.exe").c_str(), 0644), 0);
  VersionInfo info;
  EXPECT_TRUE(testing::systemEnv().readVersionInfo(dir.file("private/writer.exe"), &info));
  for (const std::string& path : {dir.file("linked/writer.exe"), dir.file("writer-link.exe"),
                                  dir.file("fifo.exe"), std::string("/dev/null"), dir.path()}) {
    EXPECT_FALSE(testing::systemEnv().readVersionInfo(path, &info))
        << path;  // and the FIFO does not block
  }
}

TEST(PeVersionResourceTest, DamagedFilesReadAsWithoutInformation) {
  std::string image = writerPe();
  // Every copy cut off before its last byte of data: none may be read past its end, and none
  // has a whole resource.
  std::size_t dataEnd = image.find_last_not_of('\0');
  for (std::size_t length = 0; length < dataEnd; length += 3) {
    VersionInfo info;
    MemorySource file(std::string_view(image).substr(0, length));
    EXPECT_FALSE(readPeVersionResource(file, 0x0409, &info)) << length;
  }
  // Every single byte of the headers and the resource tree set to 0xff: no crash, no hang.
  int readable = 0;
  for (std::size_t at = 0; at < image.size(); ++at) {
    std::string damaged = image;
    damaged[at] = '\xff';
    VersionInfo info;
    MemorySource file(damaged);
    readable += readPeVersionResource(file, 0x0409, &info) ? 1 : 0;
  }
  EXPECT_GT(readable, 0);  // padding bytes change nothing
  VersionInfo none;
  std::string noResource = testing::buildPeFile({}, {});
  MemorySource empty(noResource);
  EXPECT_FALSE(readPeVersionResource(empty, 0x0409, &none));
}

// One version resource whose only table, in its own language, holds a description.
testing::PeVersionEntry described(std::uint32_t name, std::uint16_t language,
                                  const std::string& description) {
  return {name,
          language,
          {{language, 0x04b0, {{"FileDescription", description}}}},
          {{language, 0x04b0}}};
}

std::string descriptionFor(const std::string& image, std::uint16_t userLanguage) {
  MemorySource file(image);
  VersionInfo info;
  if (!readPeVersionResource(file, userLanguage, &info) || info.translations.empty()) {
    return "(none)";
  }
  auto [language, codePage] = info.translations.front();
  return info.query(language, codePage, "FileDescription").value_or("(no description)");
}

TEST(PeVersionResourceTest, TheLanguageWindowsWouldChooseInUtf8) {
  // Languages in the order a many-language file lists them: a foreign one first. A resource
  // under another name is no version information.
  std::string image = testing::buildPeFile(
      {described(2, 0x0000, "Not the version"), described(1, 0x0401, "\u0622\u0644\u0629"),
       described(1, 0x0419, "Калькулятор"), described(1, 0x0412, "계산기"),
       described(1, 0x040c, "Éditeur 𝄞"), described(1, 0x0409, "Calculator")});
  EXPECT_EQ(descriptionFor(image, 0x0419), "Калькулятор");
  EXPECT_EQ(descriptionFor(image, 0x0412), "계산기");
  EXPECT_EQ(descriptionFor(image, 0x040c), "Éditeur 𝄞");   // beyond the first plane too
  EXPECT_EQ(descriptionFor(image, 0x0407), "Calculator");  // no German: US English
  // The user's region first, then the user's language in another region.
  std::string german =
      testing::buildPeFile({described(1, 0x0409, "English"), described(1, 0x0407, "Deutsch"),
                            described(1, 0x0c07, "Deutsch (Österreich)")});
  EXPECT_EQ(descriptionFor(german, 0x0c07), "Deutsch (Österreich)");
  EXPECT_EQ(descriptionFor(german, 0x0807), "Deutsch");
  // Language-neutral wins over every other.
  std::string neutral =
      testing::buildPeFile({described(1, 0x0419, "Калькулятор"), described(1, 0x0000, "Neutral")});
  EXPECT_EQ(descriptionFor(neutral, 0x0419), "Neutral");
  // Neither neutral, the user's nor US English: the first.
  std::string foreign =
      testing::buildPeFile({described(1, 0x0412, "계산기"), described(1, 0x0419, "Калькулятор")});
  EXPECT_EQ(descriptionFor(foreign, 0x0407), "계산기");
  EXPECT_EQ(descriptionFor(testing::buildPeFile({described(2, 0x0409, "Icon group")}), 0x0409),
            "(none)");
  // A lone surrogate reads as the replacement character, not as raw bytes.
  EXPECT_EQ(descriptionFor(testing::buildPeFile({described(1, 0x0409,
                                                           "a\xed\xa0\x80"
                                                           "b")}),
                           0x0409),
            "a\xef\xbf\xbd"
            "b");
}

TEST(ElfPackageNoteTest, ReadsTheNoteAndItsJson) {
  std::string image = testing::buildElfWithPackageNote(
      R"({"type":"deb","name":"metered-tool","version":"2.0-1","deps":{"a":[1,true,null]},)"
      R"("note":"line\nbreak \u00e9\u4e2d \"q\""})");
  MemorySource file(image);
  ASSERT_TRUE(isElf(file));
  std::string json;
  ASSERT_TRUE(readElfPackageNote(file, &json));
  std::map<std::string, std::string> members;
  ASSERT_TRUE(parseJsonStrings(json, &members));
  EXPECT_EQ(members["name"], "metered-tool");
  EXPECT_EQ(members["version"], "2.0-1");
  EXPECT_EQ(members["note"], "line\nbreak \xe9? \"q\"");
  EXPECT_EQ(members.count("deps"), 0u);

  testing::TempDir dir;
  testing::writeFile(dir.file("tool"), image);
  VersionInfo info;
  ASSERT_TRUE(testing::systemEnv().readVersionInfo(dir.file("tool"), &info));
  EXPECT_EQ(info.query(0x0409, 0x04b0, "ProductName"), "metered-tool");
  EXPECT_EQ(info.query(0x0409, 0x04b0, "FileVersion"), "2.0-1");

  for (std::size_t length = 0; length < image.size(); ++length) {
    MemorySource cut(std::string_view(image).substr(0, length));
    std::string ignored;
    EXPECT_FALSE(readElfPackageNote(cut, &ignored)) << length;
  }
  for (const char* bad : {"", "{", "{\"a\"}", "{\"a\":}", "[1]", "{\"a\":\"b\"} x", "{\"a\":[[[",
                          "{\"a\":\"\\u12\"}"}) {
    EXPECT_FALSE(parseJsonStrings(bad, &members)) << bad;
  }
  EXPECT_TRUE(parseJsonStrings(" { } ", &members));
  EXPECT_TRUE(members.empty());
}

TEST(VersionInfoTest, PackagedFilesAreNamedByTheirPackage) {
  if (!std::filesystem::exists("/var/lib/dpkg/status")) GTEST_SKIP() << "no package database";
  VersionInfo info;
  // /bin/sleep and /usr/bin/sleep are one file; the package lists one of the two names.
  ASSERT_TRUE(testing::systemEnv().readVersionInfo("/usr/bin/sleep", &info));
  EXPECT_EQ(info.query(0x0409, 0x04b0, "ProductName"), "coreutils");
  ASSERT_TRUE(info.query(0x0409, 0x04b0, "FileVersion").has_value());
  EXPECT_FALSE(info.query(0x0409, 0x04b0, "FileVersion")->empty());

  testing::TempDir dir;
  std::filesystem::copy_file("/usr/bin/sleep", dir.file("sleep-copy"));
  EXPECT_FALSE(testing::systemEnv().readVersionInfo(dir.file("sleep-copy"), &info));
  EXPECT_FALSE(testing::systemEnv().readVersionInfo(dir.file("missing"), &info));
}

}  // namespace
}  // namespace Vantor::platform
