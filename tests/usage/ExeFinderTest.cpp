#include <gtest/gtest.h>

#include <filesystem>

#include "config/ConfReader.h"
#include "foundation/FileUtils.h"
#include "support/ExecutableBuilder.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"
#include "usage/ExeFinder.h"

namespace Vantor {
namespace {

using testing::LogCapture;
using testing::PeStringTable;
using testing::writeFile;

TEST(ExeFinderTest, MappingFilesGiveKindsPatternsAndNames) {
  ExeFinder::Mappings mappings;
  EXPECT_EQ(ExeFinder::parseMappings("# site mappings\n"
                                     "  Loose  \n"
                                     "MAPALWAYS\n"
                                     "{\n"
                                     "  WinWord = Word Processor \r\n"
                                     "  winword = Later Name\n"
                                     "  bare\n"
                                     "}\n"
                                     "ignore\n"
                                     "{\n"
                                     "Setup\n"
                                     "odd = kept whole\n"
                                     "}\n"
                                     "maplast\n"
                                     "{\n"
                                     "editor = Editor Suite\n"
                                     "}\n"
                                     "mapmedium\n{\nviewer = Viewer\n}\n",
                                     &mappings),
            0u);
  ASSERT_EQ(mappings.size(), 7u);
  EXPECT_EQ(mappings["loose"].kind, ExeFinder::kPlain);
  EXPECT_EQ(mappings["winword"].name, "Word Processor");
  EXPECT_EQ(mappings["winword"].kind, ExeFinder::kMapAlways);
  EXPECT_EQ(mappings["bare"].name, "");
  EXPECT_EQ(mappings["setup"].kind, ExeFinder::kIgnore);
  EXPECT_EQ(mappings.count("odd = kept whole"), 1u);
  EXPECT_EQ(mappings["editor"].kind, ExeFinder::kMapLast);
  EXPECT_EQ(mappings["viewer"].kind, ExeFinder::kMapMedium);
  // A '{' that no keyword opened, even right after a closed block.
  EXPECT_EQ(ExeFinder::parseMappings("ignore\n{\na\n}\n\n{\nb\n}\n", &mappings), 6u);
}

TEST(ExeFinderTest, NamesLoseTheirApplicationSuffixAndNeedALetter) {
  EXPECT_EQ(ExeFinder::cleanName("Calculator Application"), "Calculator");
  EXPECT_EQ(ExeFinder::cleanName("Notepad APPLICATION FILE"), "Notepad");
  EXPECT_EQ(ExeFinder::cleanName("Application"), "Application");
  EXPECT_EQ(ExeFinder::cleanName("X  application"), "X ");
  EXPECT_EQ(ExeFinder::cleanName("1.0"), "");
  EXPECT_EQ(ExeFinder::cleanName("2 Application"), "");
  // Letters of any script make a name.
  EXPECT_EQ(ExeFinder::cleanName("Калькулятор Application"), "Калькулятор");
  EXPECT_EQ(ExeFinder::cleanName("계산기"), "계산기");
  EXPECT_EQ(ExeFinder::cleanName("© 2.0"), "");
}

class ExeFinderFilesTest : public ::testing::Test {
 protected:
  ExeFinderFilesTest()
      : programLogger_(capture_.sender(), kModuleTarnwick),
        agentLogger_(capture_.sender(), 21),
        finder_(testing::systemEnv(), programLogger_, agentLogger_) {
    setDebugLevel(5);
  }
  std::string pe(const std::string& name, const PeStringTable& table,
                 std::vector<std::pair<std::uint16_t, std::uint16_t>> translations = {
                     {0x0409, 0x04b0}}) {
    std::string path = capture_.dir().file(name);
    writeFile(path, testing::buildPeFile({table}, translations));
    return path;
  }
  int reads(const std::string& path) {
    int count = 0;
    for (const std::string& line : capture_.lines()) {
      // Paths are looked up folded where the system's file names ignore case.
      std::string logged = "No information stored about \"" + FileUtils::foldCase(path) + "\"";
      if (line.find(logged) != std::string::npos) ++count;
    }
    return count;
  }

  LogCapture capture_;
  LoggerUnit programLogger_;
  LoggerUnit agentLogger_;
  ExeFinder finder_;
};

TEST_F(ExeFinderFilesTest, VersionInformationNamesTheProductAndEachPathIsReadOnce) {
  std::string writer = pe("writer.exe", {0x0409, 0x04b0, {{"FileDescription", " Test Writer"}}});
  std::string calc = pe(
      "calc.exe",
      {0x0409, 0x04b0, {{"FileDescription", "Calculator Application"}, {"ProductName", "Office"}}});
  // The table sits under the neutral language while the list names US English.
  std::string neutral = pe("neutral.exe", {0x0000, 0x04b0, {{"ProductName", "Neutral Suite"}}});
  std::string control =
      pe("control.exe",
         {0x0409, 0x04b0, {{"FileDescription", "Bad\x85Name"}, {"ProductName", "Good Product"}}});
  std::string garbage = pe("garbage.exe", {0x0409, 0x04b0, {{"FileDescription", "\x90\x91"}}});
  std::string korean =
      pe("korean.exe", {0x0412, 0x04b0, {{"FileDescription", "계산기"}}}, {{0x0412, 0x04b0}});
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(finder_.find(writer), "Test Writer");
    EXPECT_EQ(finder_.find(calc), "Calculator");
    EXPECT_EQ(finder_.find(neutral), "Neutral Suite");
    EXPECT_EQ(finder_.find(control), "Good Product");
    EXPECT_EQ(finder_.find(garbage), "garbage");
    EXPECT_EQ(finder_.find(korean), "계산기");
    EXPECT_EQ(finder_.find(capture_.dir().file("missing.tool.exe")), "missing.tool");
  }
  EXPECT_EQ(reads(writer), 1);
  EXPECT_EQ(reads(capture_.dir().file("missing.tool.exe")), 1);
  EXPECT_EQ(finder_.find(""), ExeFinder::kUndefined);
}

TEST_F(ExeFinderFilesTest, MappingKindsDecideAgainstTheFilesOwnNames) {
  std::string described =
      pe("editor.exe",
         {0x0409, 0x04b0, {{"FileDescription", "Text Editor"}, {"ProductName", "Editing"}}});
  std::string productOnly = pe("viewer.exe", {0x0409, 0x04b0, {{"ProductName", "View Suite"}}});
  std::string nothing = capture_.dir().file("plainview.exe");
  writeFile(nothing, "not an executable at all");
  std::string always = pe("winword.exe", {0x0409, 0x04b0, {{"FileDescription", "Word"}}});
  ExeFinder::Mappings mappings;
  ASSERT_EQ(
      ExeFinder::parseMappings("maplast\n{\neditor = Mapped Editor\n}\n"
                               "mapmedium\n{\nviewer = Mapped Viewer\nplainview = Plain\n}\n"
                               "mapalways\n{\nwinword = Word Processor\nwinword.exe = Never\n}\n"
                               "ignore\n{\nSetup\n}\n",
                               &mappings),
      0u);
  finder_.setMappings(mappings);
  EXPECT_EQ(finder_.find(described), "Text Editor");
  EXPECT_EQ(finder_.find(productOnly), "View Suite");
  EXPECT_EQ(finder_.find(nothing), "Plain");
  EXPECT_EQ(finder_.find(always), "Word Processor");
  EXPECT_EQ(finder_.find("/opt/tools/setup.exe"), ExeFinder::kIgnored);
  EXPECT_EQ(finder_.find("/opt/tools/SETUP.EXE"), ExeFinder::kIgnored);
}

TEST_F(ExeFinderFilesTest, WindowsStylePathsAreFoundUnderTheirRealDirectories) {
  std::string system = capture_.dir().file("windows");
  std::filesystem::create_directories(system + "/system32");
  writeFile(
      system + "/system32/calc.exe",
      testing::buildPeFile({{0x0409, 0x04b0, {{"FileDescription", "Calculator Application"}}}},
                           {{0x0409, 0x04b0}}));
  testing::ScopedEnv windows("WINDIR", system.c_str());
  testing::ScopedEnv tools("TOOLS", (system + "/system32").c_str());
#ifndef _WIN32
  // Windows names its own directory, whatever WINDIR says.
  EXPECT_EQ(finder_.find("/systemroot/system32/calc.exe"), "Calculator");
#endif
  EXPECT_EQ(finder_.find("\\??\\%TOOLS%\\calc.exe"), "Calculator");
  // An unknown variable, or a component of any other kind, ends the search: the file name
  // stands in.
  EXPECT_EQ(finder_.find("%NOT_SET_ANYWHERE%/calc.exe"), "calc");
  EXPECT_EQ(finder_.find("/elsewhere/system32/calc.exe"), "calc");
}

TEST_F(ExeFinderFilesTest, MappingFilesAreLoadedFromTheCatalogueDirectory) {
  std::string conf = capture_.dir().path() + "/";
  std::filesystem::create_directories(conf + "components");
  ConfReader reader(capture_.sender());
  reader.buildFromText("Vantor() = \"\" { directories() = \"\" { conf(DirName) = \"" +
                       testing::escaped(conf) + "\" {} } }");
  finder_.loadApplicationMappings(reader);
  EXPECT_TRUE(capture_.contains("does not exist. Cannot load mappings."));

  writeFile(conf + "components/appmapping.conf", "mapalways\n{\ntool = Mapped Tool\n}\n");
  finder_.loadApplicationMappings(reader);
  EXPECT_EQ(finder_.find("/usr/local/bin/tool"), "Mapped Tool");
  // A broken file leaves the mappings as they were.
  writeFile(conf + "components/appmapping.conf", "mapalways\n{\nother = X\n}\n{\n");
  finder_.loadApplicationMappings(reader);
  EXPECT_TRUE(capture_.contains("(2.08.06)"));
  EXPECT_EQ(finder_.find("/usr/local/bin/other"), "other");
  EXPECT_EQ(finder_.find("/usr/local/bin/tool"), "Mapped Tool");
}

}  // namespace
}  // namespace Vantor

namespace Vantor {
namespace {

TEST_F(ExeFinderFilesTest, MarkersAreNeverLookedUpAsFiles) {
  // Files named like the markers, in the folder the agent runs in.
  pe("<<lost>>", {0x0409, 0x04b0, {{"ProductName", "Spoofed Lost"}}});
  pe("(ACCESS DENIED)", {0x0409, 0x04b0, {{"ProductName", "Spoofed Denied"}}});
  std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(capture_.dir().path());
  EXPECT_EQ(finder_.find("<<lost>>"), "<<lost>>");
  EXPECT_EQ(finder_.find("(ACCESS DENIED)"), "(ACCESS DENIED)");
  std::filesystem::current_path(before);
}

}  // namespace
}  // namespace Vantor
