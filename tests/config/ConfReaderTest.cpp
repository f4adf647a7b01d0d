#include <gtest/gtest.h>

#include "config/ConfReader.h"
#include "config/ConfTokenizer.h"
#include "logging/MessageCatalogue.h"
#include "platform/PathSeparator.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using testing::LogCapture;

std::vector<std::string> tokensOf(std::string_view text) {
  ConfTokenizer tokenizer(text);
  std::vector<std::string> tokens;
  std::string_view token;
  while (tokenizer.next(&token)) tokens.emplace_back(token);
  return tokens;
}

TEST(ConfTokenizerTest, DelimitersQuotesAndComments) {
  EXPECT_EQ(tokensOf("a(Integer)=5{}"),
            (std::vector<std::string>{"a", "(", "Integer", ")", "=", "5", "{", "}"}));
  EXPECT_EQ(tokensOf("  x \t\r\n y"), (std::vector<std::string>{"x", "\n", "y"}));
  EXPECT_EQ(tokensOf(R"(v="a \"quoted\" { value}"x)"),
            (std::vector<std::string>{"v", "=", R"("a \"quoted\" { value}")", "x"}));
  EXPECT_EQ(tokensOf("'single'"), (std::vector<std::string>{"'single'"}));
  EXPECT_EQ(
      tokensOf("# note\nk // rest\r\nm /* a\nb */ n"),
      (std::vector<std::string>{"# note", "\n", "k", "// rest", "\n", "m", "/* a\nb */", "n"}));
  EXPECT_EQ(tokensOf("path/to/x"), (std::vector<std::string>{"path/to/x"}));
  EXPECT_EQ(tokensOf("ab//c"), (std::vector<std::string>{"ab", "//c"}));
  EXPECT_EQ(tokensOf("\"open to the end"), (std::vector<std::string>{"\"open to the end"}));
  EXPECT_EQ(tokensOf("/* never closed"), (std::vector<std::string>{"/* never closed"}));
  ConfTokenizer lines("a\nb\n\nc");
  std::string_view token;
  while (lines.next(&token) && token != "c") {
  }
  EXPECT_EQ(lines.lineNumber(), 4u);
}

class ConfReaderTest : public ::testing::Test {
 protected:
  ConfReaderTest() : reader_(capture_.sender()) { setDebugLevel(5); }
  LogCapture capture_;
  ConfReader reader_;
};

TEST_F(ConfReaderTest, TypedQueriesWithReferencesAndEscapes) {
  reader_.buildFromText(
      "a(Integer) = 5 {}\n"
      "b(Integer) = \"${a}0\" {}\n"
      "twice(String) = \"C:\\\\dir\" {}\n"
      "once(String) = \"C:\\dir\" {}\n"
      "x(Bool) = True {}\n"
      "y(Bool) = false {}\n"
      "s() = \"\" { k(String) = v {} }\n"
      "s() = \"\" { second(String) = hidden {} }\n"
      "base(DirName) = /var/lib {}\n"
      "data(DirName) = \"${base}data//logs\" {}\n"
      "win(DirName) = \"C:/data//logs\" {}\n"
      "spaced(DirName) = \"  /var/log/x  \" {}\n"
      "file(FileName) = \"a\\\\b//c\" {}\n"
      "span(TimeSpan) = P1DT2H {}\n"
      "badspan(TimeSpan) = 1D {}\n"
      "padded(String) = \"  MiXeD  \" {}\n"
      "negative(Integer) = \"-12abc\" {}\n"
      "empty(Integer) = \"\" {}\n"
      "big(Integer) = 99999999999 {}\n"
      "quoted(\"String\") = q {}\n");
  std::int32_t number = 0;
  ASSERT_EQ(reader_.getInteger("b", number), ConfReader::CONF_OK);
  EXPECT_EQ(number, 50);
  std::string text;
  ASSERT_EQ(reader_.getString("twice", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "C:\\dir");
  ASSERT_EQ(reader_.getString("once", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "C:\\ir");
  bool flag = true;
  EXPECT_EQ(reader_.getBool("x", flag), ConfReader::CONF_BAD_BOOL);
  EXPECT_EQ(reader_.getString("x", text), ConfReader::CONF_WRONG_TYPE);
  ASSERT_EQ(reader_.getBool("y", flag), ConfReader::CONF_OK);
  EXPECT_FALSE(flag);
  EXPECT_EQ(reader_.getString("s", text), ConfReader::CONF_NO_VALUE);
  ASSERT_EQ(reader_.getString("s.k", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "v");
  EXPECT_EQ(reader_.getString("s.second", text), ConfReader::CONF_NOT_FOUND);  // no backtracking
  // The platform's separator after the first character, doubled ones folded.
  const std::string sep(1, platform::kPathSeparator);
  ASSERT_EQ(reader_.getDirName("data", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "/var" + sep + "lib" + sep + "data" + sep + "logs" + sep);
  ASSERT_EQ(reader_.getDirName("win", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "C:" + sep + "data" + sep + "logs" + sep);
  ASSERT_EQ(reader_.getDirName("spaced", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "/var" + sep + "log" + sep + "x" + sep);
  ASSERT_EQ(reader_.getFileName("file", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "a" + sep + "b" + sep + "c");
  TimeSpanFields span;
  ASSERT_EQ(reader_.getTimeSpan("span", span), ConfReader::CONF_OK);
  EXPECT_EQ(TimeSpan(span).getSeconds(), 26 * 3600);
  EXPECT_EQ(reader_.getTimeSpan("badspan", span), ConfReader::CONF_BAD_TIMESPAN);
  ASSERT_EQ(reader_.getString("padded", text, true, true), ConfReader::CONF_OK);
  EXPECT_EQ(text, "mixed");
  ASSERT_EQ(reader_.getInteger("negative", number), ConfReader::CONF_OK);
  EXPECT_EQ(number, -12);
  ASSERT_EQ(reader_.getInteger("empty", number), ConfReader::CONF_OK);
  EXPECT_EQ(number, 0);
  ASSERT_EQ(reader_.getInteger("big", number), ConfReader::CONF_OK);
  EXPECT_EQ(number, INT32_MAX);
  EXPECT_EQ(reader_.getString("quoted", text), ConfReader::CONF_WRONG_TYPE);  // type as written
  EXPECT_EQ(reader_.getString("", text), ConfReader::CONF_NOT_FOUND);
  EXPECT_EQ(reader_.getString("s.", text), ConfReader::CONF_NOT_FOUND);
  EXPECT_TRUE(capture_.contains("ConfReader: Found, but type is \"Bool\", not \"String\"."));
}

TEST_F(ConfReaderTest, BrokenReferencesHaveTheirStatus) {
  loadMessages(testing::systemEnv(), TARNWICK_SOURCE_DIR "/etc", "configuration");
  reader_.buildFromText(
      "open(String) = \"${a\" {}\n"
      "missing(String) = \"${nowhere}\" {}\n"
      "section() = \"\" {}\n"
      "toSection(String) = \"${section}\" {}\n"
      "self(String) = \"x${self}\" {}\n"
      "ping(String) = \"${pong}\" {}\n"
      "pong(String) = \"${ping}\" {}\n");
  std::string text = "kept";
  EXPECT_EQ(reader_.getString("open", text), ConfReader::CONF_BAD_REFERENCE);
  EXPECT_TRUE(capture_.contains("\"open\" refers to another key but the reference never ends"));
  EXPECT_EQ(reader_.getString("missing", text), ConfReader::CONF_NOT_FOUND);
  EXPECT_EQ(reader_.getString("toSection", text), ConfReader::CONF_NO_VALUE);
  EXPECT_EQ(reader_.getString("self", text), ConfReader::CONF_BAD_REFERENCE);
  EXPECT_EQ(reader_.getString("ping", text), ConfReader::CONF_BAD_REFERENCE);
  EXPECT_EQ(text, "kept");
  clearMessages();
}

TEST_F(ConfReaderTest, SyntaxErrorsKeepWhatCameBeforeAndNameTheLine) {
  reader_.buildFromText("good(String) = yes {}\n\nbad(String) = x\nlater(String) = no {}\n",
                        "broken.conf");
  std::string text;
  EXPECT_EQ(reader_.getString("good", text), ConfReader::CONF_OK);
  EXPECT_EQ(reader_.getString("later", text), ConfReader::CONF_NOT_FOUND);
  EXPECT_TRUE(capture_.contains("ConfReader: Missing '{'."));
  EXPECT_TRUE(capture_.contains("Configuration: Error in conf file. (Code: 1.1)"));
  EXPECT_TRUE(capture_.contains(", line 4."));
  EXPECT_TRUE(capture_.contains("(2.01.02)"));

  reader_.buildFromText("# a comment where a name belongs\nk(String) = v {}\n");
  EXPECT_TRUE(capture_.contains("ConfReader: Missing '('."));
  // A "}" that closes nothing and a text cut short are errors; what came before stays.
  EXPECT_FALSE(reader_.buildFromText("} k(String) = v {}"));
  EXPECT_EQ(reader_.getString("k", text), ConfReader::CONF_NOT_FOUND);
  EXPECT_TRUE(capture_.contains("ConfReader: A '}' closes no block."));
  EXPECT_FALSE(reader_.buildFromText("log() = \"\" { time(String) = local {}"));
  ASSERT_EQ(reader_.getString("log.time", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "local");
  EXPECT_FALSE(reader_.buildFromText("k(String) = v {} cut(String) ="));
  EXPECT_TRUE(capture_.contains("ConfReader: The text ends inside an entry."));
  // An empty path names no place.
  EXPECT_TRUE(reader_.buildFromText("empty(DirName) = \"  \" {} under(DirName) = \"${empty}\" {}"));
  EXPECT_EQ(reader_.getDirName("empty", text), ConfReader::CONF_NO_VALUE);
  EXPECT_EQ(reader_.getDirName("under", text), ConfReader::CONF_NO_VALUE);
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += "a() = \"\" {";
  reader_.buildFromText(deep);
  EXPECT_TRUE(capture_.contains("ConfReader: Blocks nested too deep."));
}

TEST_F(ConfReaderTest, AFileErrorLeavesThePreviousTree) {
  testing::writeFile(capture_.dir().file("tarnwick.conf"), "k(String) = first {}\n");
  EXPECT_TRUE(reader_.build(testing::systemEnv(), capture_.dir().file("tarnwick.conf")));
  std::string text;
  ASSERT_EQ(reader_.getString("k", text), ConfReader::CONF_OK);
  EXPECT_FALSE(reader_.build(testing::systemEnv(), capture_.dir().file("missing.conf")));
  ASSERT_EQ(reader_.getString("k", text), ConfReader::CONF_OK);
  EXPECT_EQ(text, "first");
  EXPECT_TRUE(capture_.contains("File: File does not exist. (Code: 42.2)"));
  // Before any catalogue is read, the message has the shipped text.
  EXPECT_TRUE(capture_.contains("(2.01.01) Could not read the configuration file \"" +
                                capture_.dir().file("missing.conf") + "\" (error 42.2)."));
}

}  // namespace
}  // namespace Vantor
