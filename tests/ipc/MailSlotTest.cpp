#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "foundation/IPCException.h"
#include "ipc/IPCClient.h"
#include "ipc/MailSlot.h"
#include "platform/Mailslot.h"
#include "support/TempDir.h"

namespace Vantor {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

std::int32_t ipcErrorOf(const std::function<void()>& action, std::string* detail = nullptr) {
  try {
    action();
  } catch (const IPCException& error) {
    if (detail != nullptr) *detail = error.getDetail();
    return error.getCode();
  }
  return -1;
}

class MailSlotTest : public ::testing::Test {
 protected:
  MailSlotTest() : runtime_("VANTOR_RUNTIME_DIR", dir_.path().c_str()) {}
  TempDir dir_;
  ScopedEnv runtime_;
};

TEST_F(MailSlotTest, MessagesArriveWholeInOrderWithTheirSender) {
  MailSlot receiver(IPC::RECEIVER, "Test_Receiver");
  MailSlot sender(IPC::SENDER, "Test_Receiver");
  std::vector<ReceivedMessage> list;
  receiver.receive(list);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(receiver.waitForMessage(10));
  ASSERT_TRUE(sender.send("first"));
  ASSERT_TRUE(sender.send(std::string(60000, 'x')));
  ASSERT_TRUE(sender.send(std::string("with\0nul", 8)));
  EXPECT_TRUE(receiver.waitForMessage(1000));
  receiver.receive(list);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].text, "first");
  EXPECT_EQ(list[1].text.size(), 60000u);
  EXPECT_EQ(list[2].text, "with");
  EXPECT_EQ(list[0].senderUid, platform::currentUserId());
}

TEST_F(MailSlotTest, WrongModesNamesAndMissingMailslotsAreRefused) {
  MailSlot receiver(IPC::RECEIVER, "Test_Modes");
  MailSlot sender(IPC::SENDER, "Test_Modes");
  std::vector<ReceivedMessage> list;
  EXPECT_EQ(ipcErrorOf([&] { receiver.send("x"); }), IPCException::IC_NOT_SENDER);
  EXPECT_EQ(ipcErrorOf([&] { sender.receive(list); }), IPCException::IC_NOT_RECEIVER);
  EXPECT_EQ(ipcErrorOf([&] { MailSlot(IPC::RECEIVER, "Test_Modes"); }),
            IPCException::IC_CANNOT_CREATE_COMM);  // taken by a live receiver

  for (std::string bad : {std::string(""), std::string(101, 'a'), std::string("../etc/x"),
                          std::string("a b"), std::string("..")}) {
    EXPECT_EQ(ipcErrorOf([&] { MailSlot(IPC::RECEIVER, bad); }),
              IPCException::IC_CANNOT_CREATE_COMM)
        << bad;
    EXPECT_EQ(ipcErrorOf([&] { MailSlot(IPC::SENDER, bad).send("x"); }),
              IPCException::IC_CANNOT_SEND)
        << bad;
  }
  EXPECT_NO_THROW(MailSlot(IPC::RECEIVER, std::string(100, 'a')));

  std::string detail;
  EXPECT_EQ(
      ipcErrorOf([&] { IPCClient("Nobody_Listens").send("COMMAND", "r", "DIE", ""); }, &detail),
      IPCException::IC_CANNOT_SEND);
  EXPECT_EQ(detail, "The system cannot find the file specified.");
}

TEST_F(MailSlotTest, AReceiverThatDiedLeavesNoObstacle) {
  {
    // A socket file whose owner is gone, as a crash leaves it.
    std::string path = dir_.path() + "/mailslot/Test_Stale";
    std::filesystem::create_directories(dir_.path() + "/mailslot");
    int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    EXPECT_EQ(ipcErrorOf([] { MailSlot(IPC::SENDER, "Test_Stale").send("x"); }),
              IPCException::IC_CANNOT_SEND);
  }
  MailSlot receiver(IPC::RECEIVER, "Test_Stale");
  MailSlot sender(IPC::SENDER, "Test_Stale");
  EXPECT_TRUE(sender.send("hello"));
  std::vector<ReceivedMessage> list;
  receiver.receive(list);
  ASSERT_EQ(list.size(), 1u);
}

}  // namespace
}  // namespace Vantor
