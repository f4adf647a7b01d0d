#include <gtest/gtest.h>

#include <algorithm>

#include "ipc/IPCMessage.h"

namespace Vantor {
namespace {

TEST(IPCMessageTest, FieldsAreWrittenInOrderAndReplyToOnlyWhenGiven) {
  std::string reply = formatIPCMessage("REPLY", "ref-1", "1234,5678", "Vantor_Tarnwick");
  EXPECT_EQ(reply,
            "Vantor\x1BREPLY\x1Bref-1\x1B"
            "1234,5678\x1BVantor_Tarnwick\x1B");
  std::string log = formatIPCMessage("LOGMSG", "", "record", "");
  EXPECT_EQ(std::count(log.begin(), log.end(), '\x1B'), 4);
  EXPECT_EQ(log, "Vantor\x1BLOGMSG\x1B\x1Brecord\x1B");
}

TEST(IPCMessageTest, ParsingIsPositionalAndChecksTheHeader) {
  IPCMessage message;
  ASSERT_TRUE(
      parseIPCMessage("Vantor\x1B"
                      "COMMAND\x1Br\x1B"
                      "DIE\x1BVantor_Core\x1B",
                      &message));
  EXPECT_EQ(message.type, "COMMAND");
  EXPECT_EQ(message.reference, "r");
  EXPECT_EQ(message.body, "DIE");
  EXPECT_EQ(message.replyTo, "Vantor_Core");

  ASSERT_TRUE(
      parseIPCMessage("Vantor\x1B"
                      "COMMAND\x1Br\x1B"
                      "DIE\x1B",
                      &message));
  EXPECT_EQ(message.replyTo, "");
  ASSERT_TRUE(
      parseIPCMessage("Vantor\x1B"
                      "COMMAND\x1B"
                      "DIE",
                      &message));
  EXPECT_EQ(message.reference, "DIE");  // a left-out reference shifts the body
  EXPECT_EQ(message.body, "");
  ASSERT_TRUE(parseIPCMessage("Vantor", &message));  // the header alone, no separator
  EXPECT_EQ(message.type, "");
  ASSERT_TRUE(parseIPCMessage(std::string("Vantor\x1BREPLY\x1Bx\x1B"
                                          "body\0tail\x1B",
                                          24),
                              &message));
  EXPECT_EQ(message.body, "body");  // the text ends at the first NUL
  EXPECT_EQ(message.replyTo, "");

  EXPECT_FALSE(
      parseIPCMessage("Vantorx\x1B"
                      "COMMAND\x1B",
                      &message));
  EXPECT_FALSE(parseIPCMessage("VantorCOMMAND", &message));
  EXPECT_FALSE(parseIPCMessage("vantor\x1B", &message));
  EXPECT_FALSE(parseIPCMessage("", &message));
}

}  // namespace
}  // namespace Vantor
