#include <gtest/gtest.h>

#include <thread>

#include "ipc/IPCMessage.h"
#include "ipc/LogMessengerIPC.h"
#include "ipc/MailSlot.h"
#include "logging/LoggerUnit.h"
#include "support/LogCapture.h"

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
        sender_(std::make_shared<LogSender>(
            kProgramTarnwick, std::make_shared<LogMessengerIPC>(std::shared_ptr<LogWriter>(
                                  &capture_.writer(), [](LogWriter*) {})))) {
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
  std::shared_ptr<LogSender> sender_;
};

TEST_F(LogMessengerIPCTest, MessagesGoToTheLogAndTheCoreDebugLinesOnlyToTheLog) {
  MailSlot core(IPC::RECEIVER, "Vantor_Core");
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
  MailSlot core(IPC::RECEIVER, "Vantor_Core");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([this, t] { LoggerUnit(sender_, kModuleTarnwick).warning(t); });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(drain(core, 8).size(), 8u);
}

}  // namespace
}  // namespace Vantor
