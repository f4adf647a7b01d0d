#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "concurrency/MachineMutex.h"
#include "foundation/IPCException.h"
#include "ipc/IPCClient.h"
#include "ipc/MailSlot.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/posix/RuntimeDirectory.h"
#include "support/SystemEnv.h"
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
  MailSlot receiver(testing::systemEnv(), IPC::RECEIVER, "Test_Receiver");
  MailSlot sender(testing::systemEnv(), IPC::SENDER, "Test_Receiver");
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
  EXPECT_EQ(list[0].senderUid, testing::systemEnv().userId());
}

TEST_F(MailSlotTest, WrongModesNamesAndMissingMailslotsAreRefused) {
  MailSlot receiver(testing::systemEnv(), IPC::RECEIVER, "Test_Modes");
  MailSlot sender(testing::systemEnv(), IPC::SENDER, "Test_Modes");
  std::vector<ReceivedMessage> list;
  EXPECT_EQ(ipcErrorOf([&] { receiver.send("x"); }), IPCException::IC_NOT_SENDER);
  EXPECT_EQ(ipcErrorOf([&] { sender.receive(list); }), IPCException::IC_NOT_RECEIVER);
  EXPECT_EQ(ipcErrorOf([&] { MailSlot(testing::systemEnv(), IPC::RECEIVER, "Test_Modes"); }),
            IPCException::IC_CANNOT_CREATE_COMM);  // taken by a live receiver

  for (std::string bad : {std::string(""), std::string(101, 'a'), std::string("../etc/x"),
                          std::string("a b"), std::string("..")}) {
    EXPECT_EQ(ipcErrorOf([&] { MailSlot(testing::systemEnv(), IPC::RECEIVER, bad); }),
              IPCException::IC_CANNOT_CREATE_COMM)
        << bad;
    EXPECT_EQ(ipcErrorOf([&] { MailSlot(testing::systemEnv(), IPC::SENDER, bad).send("x"); }),
              IPCException::IC_CANNOT_SEND)
        << bad;
  }
  EXPECT_NO_THROW(MailSlot(testing::systemEnv(), IPC::RECEIVER, std::string(100, 'a')));

  std::string detail;
  EXPECT_EQ(ipcErrorOf(
                [&] {
                  IPCClient(testing::systemEnv(), "Nobody_Listens").send("COMMAND", "r", "DIE", "");
                },
                &detail),
            IPCException::IC_CANNOT_SEND);
  // The system's own text for the code.
  EXPECT_EQ(detail, testing::systemEnv().errorText(platform::kErrorFileNotFound));
}

#ifndef _WIN32
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
    EXPECT_EQ(
        ipcErrorOf([] { MailSlot(testing::systemEnv(), IPC::SENDER, "Test_Stale").send("x"); }),
        IPCException::IC_CANNOT_SEND);
  }
  MailSlot receiver(testing::systemEnv(), IPC::RECEIVER, "Test_Stale");
  MailSlot sender(testing::systemEnv(), IPC::SENDER, "Test_Stale");
  EXPECT_TRUE(sender.send("hello"));
  std::vector<ReceivedMessage> list;
  receiver.receive(list);
  ASSERT_EQ(list.size(), 1u);
}
#endif

#ifndef _WIN32
TEST_F(MailSlotTest, LocksOtherUsersCanOpenStallNothing) {
  // Any user may open the writer lock: one who holds it costs a writer nothing.
  auto hostile =
      testing::systemEnv().tryHoldNamedMutex("Vantor_MailSlot", platform::MutexTakers::kEveryone);
  ASSERT_TRUE(hostile);
  MailSlot receiver(testing::systemEnv(), IPC::RECEIVER, "Test_Held");
  IPCClient client(testing::systemEnv(), "Test_Held");
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(client.send("REPLY", "", std::to_string(i), ""));
  std::vector<ReceivedMessage> list;
  receiver.receive(list);
  EXPECT_EQ(list.size(), 3u);

  // An instance lock left open to everybody by an older run, and held by someone: a new one
  // that only this user may open takes its place.
  std::string lockFile = dir_.file("mutex/Tarnwick");
  std::filesystem::create_directories(dir_.file("mutex"));
  int held = ::open(lockFile.c_str(), O_RDONLY | O_CREAT, 0666);
  ::fchmod(held, 0666);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  MachineMutex instance(testing::systemEnv(), "Tarnwick", platform::MutexTakers::kThisUser);
  EXPECT_TRUE(instance.tryTake());
  struct stat status {};
  ASSERT_EQ(::stat(lockFile.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  ::close(held);
}
#endif

#ifndef _WIN32
TEST(RuntimeDirectoryTest, AShareableDirectoryAnotherUserMadeIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as two users";
  TempDir dir;
  std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
  std::filesystem::create_directories(dir.file("linked/elsewhere"));
  std::filesystem::create_directory_symlink(dir.file("linked/elsewhere"),
                                            dir.file("linked/vantor"));
  std::filesystem::create_directories(dir.file("foreign/vantor"));  // root's, 0755
  std::filesystem::create_directories(dir.file("open/vantor"));
  ::chown(dir.file("open/vantor").c_str(), 65534, 65534);
  ::chmod(dir.file("open/vantor").c_str(), 0777);
  for (const char* folder : {"linked", "foreign", "open"}) {
    ::chown(dir.file(folder).c_str(), 65534, 65534);
  }
  ScopedEnv unset("VANTOR_RUNTIME_DIR", "");
  // As another user, in a child: which of the three is refused, and with which reason.
  pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(10);
    int failures = 0;
    for (auto [folder, reason] : {std::pair{"linked", "is a symbolic link"},
                                  {"foreign", "belongs to user 0"},
                                  {"open", "may be written by other users"}}) {
      ::setenv("XDG_RUNTIME_DIR", dir.file(folder).c_str(), 1);
      if (platform::runtimeDirectory("mailslot") ||
          testing::systemEnv().namedObjectsRefusal().find(reason) == std::string::npos) {
        ++failures;
      }
    }
    _exit(failures);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "directories accepted or refused without their reason";
}
#endif

}  // namespace
}  // namespace Vantor
