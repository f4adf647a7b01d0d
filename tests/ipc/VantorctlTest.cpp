// vantorctl as the Core would use it: a real process, reading and writing real mailslots.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "ipc/IPCClient.h"
#include "ipc/IPCServer.h"
#include "ipc/LogMessengerIPC.h"
#include "logging/LoggerUnit.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;
using testing::ScopedEnv;
using testing::waitUntil;

struct Outcome {
  int status = -1;
  std::string out;
};

// Runs vantorctl with the arguments; stderr joins stdout.
Outcome vantorctl(const std::string& arguments) {
  Outcome run;
  FILE* pipe = ::popen((std::string(VANTORCTL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) run.out.append(buffer, got);
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

class VantorctlTest : public ::testing::Test {
 protected:
  VantorctlTest() : runtime_("VANTOR_RUNTIME_DIR", capture_.dir().path().c_str()) {
    setDebugLevel(5);
    setSeverityThreshold(0);
  }
  LogCapture capture_;
  ScopedEnv runtime_;
};

TEST_F(VantorctlTest, ListenPrintsTheMessagesAnotherProcessLogs) {
  FILE* listener =
      ::popen((std::string(VANTORCTL_PATH) + " listen --count 3 --timeout 20").c_str(), "r");
  std::string socket = capture_.dir().path() + "/mailslot/Vantor_Core";
  ASSERT_TRUE(waitUntil([&] { return testing::fileExists(socket); }, 10s));
  auto sender = std::make_shared<LogSender>(
      kProgramTarnwick, std::make_shared<LogMessengerIPC>(
                            std::shared_ptr<LogWriter>(&capture_.writer(), [](LogWriter*) {})));
  LoggerUnit logger(sender, kModuleTarnwick);
  logger.debug(1, "never forwarded");
  logger.notice(1, "first");
  logger.warning(2, "second", 2);
  logger.fatal(3);
  std::vector<std::string> lines;
  char line[4096];
  while (std::fgets(line, sizeof line, listener) != nullptr) lines.emplace_back(line);
  int status = ::pclose(listener);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("NOTICE   ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("(2.08.01) (Message not found.) Parameters: first"), std::string::npos);
  EXPECT_NE(lines[1].find("(2.08.02) (Message not found.) Parameters: second  2"),
            std::string::npos);
  EXPECT_EQ(lines[2].rfind("FATAL    ", 0), 0u) << lines[2];
}

TEST_F(VantorctlTest, SendGetsTheReplyWithItsOwnReference) {
  std::atomic<int> commands{0};
  std::string wrongReference;
  IPCServer server(
      testing::systemEnv(), "Vantor_Tarnwick", capture_.sender(),
      [&](const std::string& type, const std::string& reference, const std::string& body,
          const std::string& replyTo) {
        if (type != "COMMAND") return;
        ++commands;
        if (body == "TARNWICKDUMP") {
          // A reply to another request must not satisfy this one.
          IPCClient(testing::systemEnv(), replyTo).send("REPLY", reference + "x", "wrong", "");
          return;
        }
        if (body == "SEND_PROCESS_INFO") {
          IPCClient(testing::systemEnv(), replyTo)
              .send("REPLY", reference, "1234,5678", "Vantor_Tarnwick");
        }
      });
  ASSERT_TRUE(waitUntil([&] { return server.isListening(); }, 5s));
  Outcome info = vantorctl("send SEND_PROCESS_INFO --timeout 10");
  EXPECT_EQ(info.status, 0) << info.out;
  EXPECT_EQ(info.out, "1234,5678\n");
  Outcome die = vantorctl("send DIE");
  EXPECT_EQ(die.status, 0) << die.out;
  EXPECT_EQ(die.out, "");
  Outcome dump = vantorctl("send TARNWICKDUMP --timeout 2");
  EXPECT_EQ(dump.status, 3) << dump.out;
  EXPECT_NE(dump.out.find("no reply"), std::string::npos);
  EXPECT_EQ(commands.load(), 3);
}

TEST_F(VantorctlTest, ErrorsAndUsage) {
  Outcome missing = vantorctl("send RECONFIG --to Nobody_Here");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("The system cannot find the file specified."), std::string::npos);
  Outcome bad = vantorctl("send RECONFIG --to ../../etc");
  EXPECT_EQ(bad.status, 1);
  // A command line it cannot use: the usage on standard error, status 2.
  for (const char* wrong :
       {"frobnicate", "send", "listen --count x", "status --bogus", "send DIE --json",
        "listen --timeout", "status --timeout inf", "status --timeout -1", "listen --count 0"}) {
    Outcome usage = vantorctl(wrong);
    EXPECT_EQ(usage.status, 2) << wrong;
    EXPECT_NE(usage.out.find("usage: vantorctl"), std::string::npos) << wrong;
  }
  Outcome help = vantorctl("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: vantorctl listen"), std::string::npos);
  Outcome version = vantorctl("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("vantorctl ") + TARNWICK_VERSION + "\n");
  Outcome quiet = vantorctl("listen --timeout 0.5");
  EXPECT_EQ(quiet.status, 0);
  Outcome short_ = vantorctl("listen --count 1 --timeout 0.5");
  EXPECT_EQ(short_.status, 3);
}

}  // namespace
}  // namespace Vantor
