#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <map>
#include <stdexcept>
#include <thread>

#include "ipc/IPCClient.h"
#include "ipc/IPCMessage.h"
#include "ipc/IPCServer.h"
#include "ipc/MailSlot.h"
#include "platform/Mutex.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::ScopedEnv;
using testing::waitUntil;

struct Received {
  platform::Mutex mutex;
  std::vector<IPCMessage> messages GUARDED_BY(mutex);
  void add(const std::string& type, const std::string& reference, const std::string& body,
           const std::string& replyTo) {
    platform::MutexLock lock(&mutex);
    messages.push_back({type, reference, body, replyTo});
  }
  std::size_t size() {
    platform::MutexLock lock(&mutex);
    return messages.size();
  }
  std::vector<IPCMessage> copy() {
    platform::MutexLock lock(&mutex);
    return messages;
  }
};

class IPCServerTest : public ::testing::Test {
 protected:
  IPCServerTest() : runtime_("VANTOR_RUNTIME_DIR", capture_.dir().path().c_str()) {
    setDebugLevel(5);
    ::chmod(capture_.dir().path().c_str(), 0755);  // other users reach the mailslots too
  }

  IPCServer::Callback collect() {
    return [this](const std::string& type, const std::string& reference, const std::string& body,
                  const std::string& replyTo) { received_.add(type, reference, body, replyTo); };
  }

  LogCapture capture_;
  ScopedEnv runtime_;
  Received received_;
};

TEST_F(IPCServerTest, HandsWellFormedMessagesToTheCallbackAndStopsPromptly) {
  IPCServer server(testing::systemEnv(), "Test_Server", capture_.sender(), collect());
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  MailSlot raw(testing::systemEnv(), IPC::SENDER, "Test_Server");
  raw.send(
      "Vantorx\x1B"
      "COMMAND\x1Br\x1B"
      "DIE\x1B");
  raw.send("no header at all");
  IPCClient client(testing::systemEnv(), "Test_Server");
  client.send("COMMAND", "ref-1", "SEND_PROCESS_INFO", "Reply_Here");
  client.send("REPLY", "ref-2", "1,2", "");
  ASSERT_TRUE(waitUntil([&] { return received_.size() == 2; }, 5s));
  std::vector<IPCMessage> messages = received_.copy();
  EXPECT_EQ(messages[0].type, "COMMAND");
  EXPECT_EQ(messages[0].reference, "ref-1");
  EXPECT_EQ(messages[0].body, "SEND_PROCESS_INFO");
  EXPECT_EQ(messages[0].replyTo, "Reply_Here");
  EXPECT_EQ(messages[1].replyTo, "");
  EXPECT_TRUE(capture_.contains("IPC: The message was not adressed to Vantor. Ignoring it."));
  EXPECT_TRUE(capture_.contains("IPC: Created server \"Test_Server\"."));

  auto started = std::chrono::steady_clock::now();
  server.stop();
  ::testing::Test::RecordProperty(
      "stop_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()));
  EXPECT_TRUE(capture_.contains("IPC: Stopped server \"Test_Server\"."));
  EXPECT_TRUE(capture_.contains("IPC: Exitited IPC listener."));
  EXPECT_FALSE(capture_.contains("timed out"));
  EXPECT_FALSE(server.isListening());
}

TEST_F(IPCServerTest, ACommandThatFailsLeavesTheListenerListening) {
  IPCServer server(testing::systemEnv(), "Test_Server", capture_.sender(),
                   [this](const std::string& type, const std::string& reference,
                          const std::string& body, const std::string& replyTo) {
                     if (body == "FAIL") throw std::runtime_error("the command failed");
                     received_.add(type, reference, body, replyTo);
                   });
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  IPCClient client(testing::systemEnv(), "Test_Server");
  client.send("COMMAND", "ref-1", "FAIL", "");
  ASSERT_TRUE(waitUntil([&] { return capture_.contains("the command failed"); }, 5s));
  client.send("COMMAND", "ref-2", "DIE", "");
  EXPECT_TRUE(waitUntil([&] { return received_.size() == 1; }, 5s));
  EXPECT_TRUE(server.isListening());
}

TEST_F(IPCServerTest, AListenerStuckInItsCallbackTimesTheStopOut) {
  std::atomic<bool> release{false};
  std::atomic<bool> inCallback{false};
  IPCServer server(
      testing::systemEnv(), "Test_Stuck", capture_.sender(),
      [&](const std::string&, const std::string&, const std::string&, const std::string&) {
        inCallback = true;
        while (!release) std::this_thread::sleep_for(10ms);
      });
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  IPCClient(testing::systemEnv(), "Test_Stuck").send("REPLY", "", "blocks", "");
  ASSERT_TRUE(waitUntil([&] { return inCallback.load(); }, 5s));
  server.stop();
  EXPECT_TRUE(capture_.contains("IPC: Stopping server \"Test_Stuck\" timed out."));
  release = true;
}

TEST_F(IPCServerTest, AServerWithoutMailslotLogsWhyAndIsNeverListening) {
  IPCServer first(testing::systemEnv(), "Test_Taken", capture_.sender(), collect());
  ASSERT_TRUE(waitUntil([&] { return first.isListening(); }, 5s));
  IPCServer second(testing::systemEnv(), "Test_Taken", capture_.sender(), collect());
  EXPECT_TRUE(waitUntil(
      [&] { return capture_.contains("IPC: Unable to create communication channel."); }, 5s));
  EXPECT_FALSE(second.isListening());
}

#ifndef _WIN32
TEST_F(IPCServerTest, FourWritersAtFullSpeedLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kMessages = 5000;
  std::vector<std::vector<int>> seen(kWriters, std::vector<int>(kMessages, 0));
  std::atomic<int> total{0};
  std::atomic<int> torn{0};
  IPCServer server(testing::systemEnv(), "Test_Burst", nullptr,
                   [&](const std::string& type, const std::string& reference,
                       const std::string& body, const std::string&) {
                     int writer = -1, number = -1;
                     if (type != "REPLY" ||
                         std::sscanf(reference.c_str(), "%d-%d", &writer, &number) != 2 ||
                         writer < 0 || writer >= kWriters || number < 0 || number >= kMessages ||
                         body != std::string(64, static_cast<char>('a' + writer))) {
                       ++torn;
                       return;
                     }
                     ++seen[writer][number];
                     ++total;
                   });
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      IPCClient client(testing::systemEnv(), "Test_Burst");
      std::string body(64, static_cast<char>('a' + writer));
      for (int i = 0; i < kMessages; ++i) {
        try {
          client.send("REPLY", std::to_string(writer) + "-" + std::to_string(i), body, "");
        } catch (...) {
          ::_exit(1);
        }
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  ASSERT_TRUE(waitUntil([&] { return total.load() == kWriters * kMessages; }, 30s)) << total.load();
  server.stop();
  EXPECT_EQ(torn.load(), 0);
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int i = 0; i < kMessages; ++i) ASSERT_EQ(seen[writer][i], 1) << writer << "/" << i;
  }
}
#endif

#ifndef _WIN32
TEST_F(IPCServerTest, OnlyRootAndTheServersOwnUserAreHeardOthersAreCountedNotLogged) {
  if (::geteuid() != 0) GTEST_SKIP() << "sending as another user needs root (setpriv)";
  IPCServer server(testing::systemEnv(), "Test_Guarded", capture_.sender(), collect());
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  std::string runtime = "VANTOR_RUNTIME_DIR=" + capture_.dir().path();
  std::string asNobody = "env " + runtime + " setpriv --reuid=65534 --regid=65534 --clear-groups " +
                         VANTORCTL_PATH + " send RECONFIG --to Test_Guarded";
  ASSERT_EQ(std::system(asNobody.c_str()), 0);
  IPCClient(testing::systemEnv(), "Test_Guarded")
      .send("REPLY", "from nobody?", "no", "");  // marks the order
  ASSERT_TRUE(waitUntil([&] { return received_.size() == 1; }, 5s));
  EXPECT_EQ(received_.copy()[0].type, "REPLY");
  EXPECT_FALSE(capture_.contains("RECONFIG"));  // nothing of what a stranger sent is logged
  std::string asRoot = "env " + runtime + " " + VANTORCTL_PATH + " send RECONFIG --to Test_Guarded";
  ASSERT_EQ(std::system(asRoot.c_str()), 0);
  ASSERT_TRUE(waitUntil([&] { return received_.size() == 2; }, 5s));
  EXPECT_EQ(received_.copy()[1].type, "COMMAND");
  EXPECT_EQ(received_.copy()[1].body, "RECONFIG");
  // The count of the minute under way is logged as the listener leaves.
  server.stop();
  EXPECT_TRUE(capture_.contains(
      "IPC: Server \"Test_Guarded\": Dropped 1 message(s) from users who may not command it "
      "(user 65534: 1) and 0 longer than 65536 bytes in the last minute."));
}
#endif

}  // namespace
}  // namespace Vantor
