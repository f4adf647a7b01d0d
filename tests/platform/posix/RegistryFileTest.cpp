#include <gtest/gtest.h>

#include "platform/posix/RegistryFile.h"

namespace Vantor::platform {
namespace {

constexpr char kKey[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources";

std::string stringOf(const std::map<std::string, RegistryFile::Values>& keys,
                     std::string_view name) {
  const RegistryValue* value = RegistryFile::find(keys, kKey, name);
  return value == nullptr ? "<missing>" : value->data;
}

TEST(RegistryFileTest, ReadsEveryValueFormOfAnExport) {
  std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; installed by the suite\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\r\n"
      "\"ConfigurationDir\"=\"C:\\\\Vantor\\\\conf\\\\\"\r\n"
      "\"Quoted\"=\"say \\\"hi\\\"\"\r\n"
      "\"Count\"=dword:0000000a\r\n"
      "\"Expand\"=hex(2):25,00,57,00,\\\r\n"
      "  49,00,4e,00,25,00,00,00\r\n"
      "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"Blob\"=hex:01,ff\r\n"
      "@=\"default\"\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"ConfigurationDir\"=\"elsewhere\"\r\n";
  std::vector<RegistryFile::Damage> damage;
  auto keys = RegistryFile::parse(text, &damage);
  EXPECT_TRUE(damage.empty()) << damage.front().line << ": " << damage.front().reason;
  EXPECT_EQ(stringOf(keys, "ConfigurationDir"), std::string("C:\\Vantor\\conf\\\0", 16));
  EXPECT_EQ(stringOf(keys, "configurationdir"), stringOf(keys, "ConfigurationDir"));
  EXPECT_EQ(stringOf(keys, "Quoted"), std::string("say \"hi\"\0", 9));
  const RegistryValue* count = RegistryFile::find(keys, kKey, "Count");
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(count->type, kRegDword);
  EXPECT_EQ(count->data, std::string("\x0a\0\0\0", 4));
  const RegistryValue* expand = RegistryFile::find(keys, kKey, "Expand");
  ASSERT_NE(expand, nullptr);
  EXPECT_EQ(expand->type, kRegExpandSz);
  EXPECT_EQ(expand->data, std::string("%WIN%\0", 6));
  EXPECT_EQ(stringOf(keys, "Multi"), std::string("a\0b\0\0", 5));
  EXPECT_EQ(RegistryFile::find(keys, kKey, "Blob")->type, kRegBinary);
  EXPECT_EQ(stringOf(keys, ""), std::string("default\0", 8));
  EXPECT_EQ(
      RegistryFile::find(keys, "hkey_local_machine\\software\\other", "configurationdir")->data,
      std::string("elsewhere\0", 10));
}

TEST(RegistryFileTest, DamagedLinesReadAsMissingAndSpareTheRest) {
  std::string text =
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
      "\"Good1\"=\"one\"\n"
      "\"Cut\"=\"C:\\\\Vantor\\\n"  // a line cut off inside its string
      "\"Good2\"=\"two\"\n"
      "\"BadEscape\"=\"a\\qb\"\n"
      "\"Unknown\"=qword:12\n"
      "\"BadHex\"=hex:0g\n"
      "\"BadDword\"=dword:123456789\n"
      "\"OddUtf16\"=hex(2):41\n"
      "\"NoEquals\" \"x\"\n"
      "garbage \x01\xff\n"
      "\"Trailing\"=\"x\" y\n"
      "\"Good3\"=\"three\"";  // no final line feed
  std::vector<RegistryFile::Damage> damage;
  auto keys = RegistryFile::parse(text, &damage);
  EXPECT_EQ(stringOf(keys, "Good1"), std::string("one\0", 4));
  EXPECT_EQ(stringOf(keys, "Good2"), std::string("two\0", 4));
  EXPECT_EQ(stringOf(keys, "Good3"), std::string("three\0", 6));
  for (const char* name :
       {"Cut", "BadEscape", "Unknown", "BadHex", "BadDword", "OddUtf16", "NoEquals", "Trailing"}) {
    EXPECT_EQ(stringOf(keys, name), "<missing>") << name;
  }
  ASSERT_EQ(damage.size(), 9u);
  EXPECT_EQ(damage[0].line, 4u);
}

TEST(RegistryFileTest, DeletionsAndValuesOutsideAKey) {
  std::string text =
      "\"Orphan\"=\"no key yet\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
      "\"A\"=\"1\"\n"
      "\"B\"=\"2\"\n"
      "\"A\"=-\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Gone]\n"
      "\"C\"=\"under a deleted key\"\n";
  auto keys = RegistryFile::parse(text);
  EXPECT_EQ(stringOf(keys, "A"), "<missing>");
  EXPECT_EQ(stringOf(keys, "B"), std::string("2\0", 2));
  EXPECT_EQ(stringOf(keys, "Orphan"), "<missing>");
  EXPECT_EQ(keys.count("hkey_local_machine\\software\\gone"), 0u);
}

TEST(RegistryFileTest, Utf16ExportsAreRead) {
  std::string narrow = "Windows Registry Editor Version 5.00\r\n[" + std::string(kKey) +
                       "]\r\n\"Name\"=\"Value\"\r\n";
  std::string utf16 = "\xff\xfe";
  for (char c : narrow) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  EXPECT_EQ(stringOf(RegistryFile::parse(utf16), "Name"), std::string("Value\0", 6));
}

TEST(RegistryFileTest, SettingAStringKeepsEveryOtherLine) {
  std::string text =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
      "; keep me\n"
      "\"LogCounter\"=\"4\"\n"
      "\"Hex\"=hex:01,\\\n"
      "  02\n"
      "this line is damaged\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
      "\"LogCounter\"=\"other key\"\n";
  std::string updated = RegistryFile::withString(text, kKey, "logcounter", "5");
  EXPECT_EQ(updated,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
            "; keep me\n"
            "\"Hex\"=hex:01,\\\n"
            "  02\n"
            "this line is damaged\n"
            "\"logcounter\"=\"5\"\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
            "\"LogCounter\"=\"other key\"\n");
  updated = RegistryFile::withString(updated, kKey, "Hex", "replaced");
  EXPECT_EQ(updated.find("  02"), std::string::npos);

  std::string fresh = RegistryFile::withString("", kKey, "Path", "C:\\a \"b\"");
  EXPECT_EQ(fresh, std::string(RegistryFile::kHeader) + "\n\n[" + kKey +
                       "]\n\"Path\"=\"C:\\\\a \\\"b\\\"\"\n");
  EXPECT_EQ(stringOf(RegistryFile::parse(fresh), "Path"), std::string("C:\\a \"b\"\0", 9));

  std::string appended =
      RegistryFile::withString("[HKEY_LOCAL_MACHINE\\X]\n\"y\"=\"z\"", kKey, "A", "1");
  EXPECT_EQ(appended,
            "[HKEY_LOCAL_MACHINE\\X]\n\"y\"=\"z\"\n\n[" + std::string(kKey) + "]\n\"A\"=\"1\"\n");
}

TEST(RegistryFileTest, ASetValueIsReadBackWhateverTheFileEndsWith) {
  std::string key = kKey;
  for (std::string text : {
           "[" + key + "]\n\"H\"=hex:01,\\",            // a continuation the file never finished
           "[" + key + "]\n\"H\"=hex:01,\\\n  0f\\\\",  // and one ending in two backslashes
           "[" + key + "]\n\"A\"=\"1\"\n[-" + key + "]\n",  // the key deleted after it
           "[" + key + "]\r\"A\"=\"1\"\r",                  // carriage returns only
           "\xef\xbb\xbf\xff\xfe[" + key + "]\n",  // a UTF-8 mark before what reads as UTF-16
       }) {
    std::string updated = RegistryFile::withString(text, kKey, "New", "value");
    EXPECT_EQ(stringOf(RegistryFile::parse(updated), "New"), std::string("value\0", 6)) << text;
  }
}

TEST(RegistryFileTest, StringsThatCannotBeQuotedSurviveAsUtf16) {
  std::string value("two\nlines\r\0nul", 14);
  std::string text = RegistryFile::withString("", kKey, "Odd", value);
  EXPECT_NE(text.find("hex(1):"), std::string::npos);
  EXPECT_EQ(stringOf(RegistryFile::parse(text), "Odd"), value + std::string(1, '\0'));
}

}  // namespace
}  // namespace Vantor::platform
