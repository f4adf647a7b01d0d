#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "ipc/IPCMessage.h"
#include "ipc/LogMessengerIPC.h"
#include "ipc/MailSlot.h"
#include "logging/LoggerUnit.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using testing::LogCapture;
using testing::ScopedEnv;

class LogMessengerIPCTest : public ::testing::Test {
 protected:
  LogMessengerIPCTest()
      : runtime_("VANTOR_RUNTIME_DIR", capture_.dir().path().c_str()),
        messenger_(std::make_shared<LogMessengerIPC>(
            std::shared_ptr<LogWriter>(&capture_.writer(), [](LogWriter*) {}))),
        sender_(std::make_shared<LogSender>(kProgramTarnwick, messenger_)) {
    setDebugLevel(5);
    setSeverityThreshold(0);
  }

  std::vector<IPCMessage> drain(MailSlot& core, std::size_t wanted) {
    std::vector<IPCMessage> messages;
    std::vector<ReceivedMessage> list;
    testing::waitUntil(
        [&] {
          core.receive(list);
          for (const ReceivedMessage& received : list) {
            IPCMessage message;
            EXPECT_TRUE(parseIPCMessage(received.text, &message));
            messages.push_back(message);
          }
          list.clear();
          return messages.size() >= wanted;
        },
        5s);
    return messages;
  }

  LogCapture capture_;
  ScopedEnv runtime_;
  std::shared_ptr<LogMessengerIPC> messenger_;
  std::shared_ptr<LogSender> sender_;
};

TEST_F(LogMessengerIPCTest, MessagesGoToTheLogAndTheCoreDebugLinesOnlyToTheLog) {
  MailSlot core(testing::systemEnv(), IPC::RECEIVER, "Vantor_Core");
  LoggerUnit logger(sender_, kModuleTarnwick);
  EXPECT_TRUE(logger.debug(1, "stays local"));
  EXPECT_TRUE(logger.notice(5, "forwarded"));
  std::vector<IPCMessage> messages = drain(core, 1);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].type, "LOGMSG");
  EXPECT_EQ(messages[0].reference, "");
  EXPECT_EQ(messages[0].replyTo, "");
  EXPECT_EQ(messages[0].body.substr(0, 11),
            "Vantor\x1CLOG\x1C"
            "2"s.substr(0, 11));
  LogRecord record;
  ASSERT_TRUE(decodeRecord(messages[0].body, &record));
  EXPECT_EQ(record.messageNumber, 5);
  EXPECT_EQ(record.text, parameterList("forwarded"));
  EXPECT_TRUE(capture_.contains("NOTICE   "));
  EXPECT_TRUE(capture_.contains("(2.08)    stays local"));
}

TEST_F(LogMessengerIPCTest, WithoutACoreLoggingGoesOn) {
  LoggerUnit logger(sender_, kModuleTarnwick);
  EXPECT_TRUE(logger.error(7, "nobody listens"));
  EXPECT_TRUE(capture_.contains("(2.08.07)"));
}

TEST_F(LogMessengerIPCTest, ManyThreadsFirstMessagesAllArrive) {
  MailSlot core(testing::systemEnv(), IPC::RECEIVER, "Vantor_Core");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] { LoggerUnit(sender_, kModuleTarnwick).warning(t); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(drain(core, 8).size(), 8u);
}

TEST_F(LogMessengerIPCTest, ACoreThatDoesNotReadNeverHoldsUpTheLoggingThread) {
  MailSlot core(testing::systemEnv(), IPC::RECEIVER,
                "Vantor_Core");  // bound, but nobody reads it yet
  constexpr int kMessages = 2 * static_cast<int>(LogMessengerIPC::kQueueLimit);
  std::atomic<bool> done{false};
  std::thread logging([&] {
    LoggerUnit logger(sender_, kModuleTarnwick);
    for (int i = 0; i < kMessages; ++i) logger.warning(1, i);
    done = true;
  });
  // A blocking forward waits seconds per message once the Core's queue is full.
  EXPECT_TRUE(testing::waitUntil([&] { return done.load(); }, 20s));
  logging.join();
  EXPECT_GT(messenger_->dropped(), 0u);
  std::vector<std::string> lines = capture_.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.find("(2.08.01)") != std::string::npos;
                          }),
            kMessages)
      << "every message reaches the local log";
  // Each message arrives or is counted dropped (the queue was full, or a send timed out).
  std::size_t received = 0;
  std::vector<ReceivedMessage> list;
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        core.receive(list);
        received += list.size();
        list.clear();
        return received + messenger_->dropped() == static_cast<std::size_t>(kMessages);
      },
      10s))
      << received << " received, " << messenger_->dropped() << " dropped";
  LoggerUnit(sender_, kModuleTarnwick).warning(2);  // the Core reads again
  EXPECT_TRUE(testing::waitUntil(
      [&] { return capture_.contains("log message(s) for the Core were dropped"); }, 5s));
}

}  // namespace
}  // namespace Vantor
