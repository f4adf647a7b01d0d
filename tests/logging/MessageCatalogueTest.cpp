#include <gtest/gtest.h>

#include <filesystem>

#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::TempDir;
using testing::writeFile;

TEST(MessageCatalogueTest, LinesSplitAtTheirFirstColon) {
  std::map<std::string, std::string> texts;
  int stored = parseCatalogue(
      "// a comment: not a message\r\n"
      "\n"
      " 12 : Disk full: %s \n"
      "12: a second text for 12 is ignored\n"
      "7\n"
      "x9: no leading number\n"
      "  3:last line without line end",
      8, &texts);
  EXPECT_EQ(stored, 5);
  EXPECT_EQ(texts["8.12"], "Disk full: %s");
  EXPECT_EQ(texts["8.7"], "");
  EXPECT_EQ(texts["8.0"], "no leading number");
  EXPECT_EQ(texts["8.3"], "last line without line end");
  EXPECT_EQ(texts.size(), 4u);
}

TEST(MessageCatalogueTest, LinesThatAreNoMessageAreToldWithTheirNumbers) {
  std::map<std::string, std::string> texts;
  std::vector<LineProblem> problems;
  parseCatalogue("// comment\n 12 : fine\n7\nx9: no number\n-3: negative is fine\n: none\n", 8,
                 &texts, &problems);
  std::vector<std::size_t> lines;
  for (const LineProblem& problem : problems) lines.push_back(problem.line);
  EXPECT_EQ(lines, (std::vector<std::size_t>{3, 4, 6}));
}

TEST(MessageCatalogueTest, LoadsTheWantedModulesOnly) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("LogMessages"));
  writeFile(dir.file("LogMessages/tarnwick.mess"), "1: tarnwick one\n2: tarnwick two\n");
  writeFile(dir.file("LogMessages/agent.mess"), "1: agent one\n");
  writeFile(dir.file("LogMessages/nosuchmodule.mess"), "1: never\n");
  writeFile(dir.file("LogMessages/agent.txt"), "1: not a catalogue\n");

  CatalogueLoad some = loadMessages(testing::systemEnv(), dir.path() + "//", "core,agent");
  EXPECT_EQ(some.status, 1);
  ASSERT_EQ(some.loaded.size(), 1u);
  EXPECT_EQ(some.loaded[0], std::make_pair(std::string("agent"), 1));
  EXPECT_EQ(some.skipped.size(), 2u);
  EXPECT_EQ(lookupMessage(kModuleAgent, 1).value_or("-"), "agent one");
  EXPECT_FALSE(lookupMessage(kModuleTarnwick, 1).has_value());

  CatalogueLoad all = loadMessages(testing::systemEnv(), dir.path(), "all");
  EXPECT_EQ(all.loaded.size(), 2u);
  EXPECT_EQ(all.skipped, std::vector<std::string>{"nosuchmodule"});
  EXPECT_EQ(lookupMessage(kModuleTarnwick, 2).value_or("-"), "tarnwick two");
  EXPECT_FALSE(lookupMessage(kModuleTarnwick, 3).has_value());

  CatalogueLoad none = loadMessages(testing::systemEnv(), dir.file("missing"), "all");
  EXPECT_EQ(none.status, 1);
  EXPECT_TRUE(none.loaded.empty());
  // Without catalogue files, the messages that may come before them keep the shipped text.
  EXPECT_EQ(lookupMessage(kModuleAgent, 1).value_or("-"), "Could not %s.");
  EXPECT_FALSE(lookupMessage(kModuleTarnwick, 2).has_value());
  clearMessages();
}

TEST(MessageCatalogueTest, TheShippedConfigurationTextsTakeTheirParameters) {
  CatalogueLoad load =
      loadMessages(testing::systemEnv(), TARNWICK_SOURCE_DIR "/etc", "configuration");
  ASSERT_EQ(load.status, 1);
  for (int number : {1, 2, 15}) {
    std::optional<std::string> text = lookupMessage(kModuleConfiguration, number);
    ASSERT_TRUE(text.has_value()) << number;
    std::string formatted = formatMessage(*text, parameterList("tarnwick.conf", "1.1"));
    EXPECT_NE(formatted.find("tarnwick.conf"), std::string::npos) << formatted;
    EXPECT_EQ(formatted.find('\\'), std::string::npos) << formatted;
  }
  std::optional<std::string> reference = lookupMessage(kModuleConfiguration, 3);
  ASSERT_TRUE(reference.has_value());
  EXPECT_NE(formatMessage(*reference, parameterList("a.b")).find("\"a.b\""), std::string::npos);
  clearMessages();
}

}  // namespace
}  // namespace Vantor
