// A root agent against a hostile local user (nobody): a folder the user made first, a
// registry or runtime folder the user could change, floods of the agent's mailslot, a forged
// log message for the Core, and records left readable by a loose umask.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "integration/Harness.h"
#include "ipc/IPCMessage.h"
#include "ipc/MailSlot.h"
#include "support/TempDir.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::fileExists;
using testing::waitUntil;

const std::vector<std::string> kAsNobody = {"setpriv", "--reuid=65534", "--regid=65534",
                                            "--clear-groups"};

// The command's standard output and error, and its exit status.
std::string shell(const std::string& command, int* status) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  *status = WEXITSTATUS(::pclose(pipe));
  return out;
}

pid_t spawnAsNobody(const std::vector<std::string>& command) {
  std::vector<std::string> words = kAsNobody;
  words.insert(words.end(), command.begin(), command.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t child = 0;
  EXPECT_EQ(::posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), environ), 0);
  return child;
}

int runAsNobody(const std::vector<std::string>& command) {
  int status = 0;
  ::waitpid(spawnAsNobody(command), &status, 0);
  return status;
}

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

std::uintmax_t folderBytes(const std::string& folder) {
  std::uintmax_t bytes = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) bytes += entry.file_size();
  }
  return bytes;
}

// Strangers reach the mailslots, as they do in the package's /run/vantor.
void openToStrangers(const Installation& installation) {
  ::chmod(installation.dir().path().c_str(), 0755);
  ::chmod(installation.dir().file("run").c_str(), 0755);
}

class SecurityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
  }
};

TEST_F(SecurityTest, AFolderAnotherUserCouldChangeIsRefusedByItsMakerAndByTheRootAgent) {
  // Made first by nobody: make-installation takes it over no more, and puts nothing in it.
  std::string premade = "/tmp/tarnwick-premade-" + std::to_string(::getpid());
  ASSERT_EQ(runAsNobody({"mkdir", premade}), 0);
  int status = 0;
  std::string said =
      shell(std::string(TARNWICK_SOURCE_DIR) + "/tools/make-installation " + premade, &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(said.find("refusing " + premade + ": it belongs to user 65534"), std::string::npos)
      << said;
  EXPECT_TRUE(std::filesystem::is_empty(premade));
  // However its name is written.
  ::chmod(premade.c_str(), 01777);
  ::chown(premade.c_str(), 0, 0);
  for (const std::string& spelling : {premade + "/.", premade + "//"}) {
    shell(std::string(TARNWICK_SOURCE_DIR) + "/tools/make-installation " + spelling, &status);
    EXPECT_NE(status, 0) << spelling;
  }
  EXPECT_TRUE(std::filesystem::is_empty(premade));
  std::filesystem::remove_all(premade);

  // The installation's folder is nobody's: nobody puts a registry of its own there that would
  // have the root agent write its log where nobody chose.
  testing::TempDir rootOnly;
  std::string planted = rootOnly.file("planted-by-nobody.log");
  {
    Installation installation;
    ASSERT_EQ(::chown(installation.dir().path().c_str(), 65534, 65534), 0);
    std::string registry = installation.registryFile();
    std::string forged =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources]\n"
        "\"ConfigurationDir\"=\"" +
        installation.confDir() +
        "\"\n"
        "\"TarnwickDebugLog\"=\"" +
        planted + "\"\n";
    ASSERT_EQ(runAsNobody({"sh", "-c", "printf '%s' \"$0\" > \"$1.new\" && mv -f \"$1.new\" \"$1\"",
                           forged, registry}),
              0);
    AgentProcess agent;
    EXPECT_EQ(agent.exitStatus(60s), 255);
    EXPECT_NE(agent.errorOutput().find("tarnwick: Refusing the registry file " + registry + ": " +
                                       installation.dir().path() + " belongs to user 65534."),
              std::string::npos)
        << agent.errorOutput();
    EXPECT_FALSE(fileExists(planted));
  }
  // The runtime folder ($VANTOR_RUNTIME_DIR) is nobody's: the agent's mailslot and lock would be
  // in nobody's hands.
  Installation installation;
  ASSERT_EQ(::chown(installation.dir().file("run").c_str(), 65534, 65534), 0);
  AgentProcess agent;
  EXPECT_EQ(agent.exitStatus(60s), 255);
  EXPECT_NE(
      agent.errorOutput().find("Refusing the runtime folder " + installation.dir().file("run") +
                               ": " + installation.dir().file("run") + " belongs to user 65534."),
      std::string::npos)
      << agent.errorOutput();
}

TEST_F(SecurityTest, FloodsOfStrangersCostTheRootAgentNeitherMemoryNorLogNorItsCommands) {
  Installation installation;
  openToStrangers(installation);
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  std::uintmax_t logBefore = folderBytes(installation.dir().file("log"));
  [[maybe_unused]] long residentBefore = residentKilobytes(agent.pid());
  // Huge datagrams, huge type fields and short commands, from six senders for ten seconds.
  std::vector<pid_t> flooders;
  for (const char* mode : {"big", "big", "big", "type", "type", "short"}) {
    flooders.push_back(spawnAsNobody({FLOOD_MAILSLOT_PATH, "Vantor_Tarnwick", "10", mode}));
  }
  long residentPeak = 0;
  int answered = 0;
  int asked = 0;
  // Root asks for a delivery each second of the flood, and the agent's size is read between.
  auto floodEnds = std::chrono::steady_clock::now() + 10s;
  while (std::chrono::steady_clock::now() < floodEnds) {
    auto nextAsk = std::chrono::steady_clock::now() + 1s;
    waitUntil(
        [&] {
          residentPeak = std::max(residentPeak, residentKilobytes(agent.pid()));
          return std::chrono::steady_clock::now() >= nextAsk;
        },
        2s);
    int status = 1;
    vantorctl("send TARNWICKDUMP --timeout 20", &status);
    ++asked;
    answered += status == 0 ? 1 : 0;
  }
  for (pid_t flooder : flooders) {
    int status = 0;
    ::waitpid(flooder, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_GE(asked, 2);
  EXPECT_EQ(answered, asked);
#ifndef TARNWICK_SANITIZED
  EXPECT_LT(residentPeak, 64 * 1024) << "before the flood: " << residentBefore << " kB";
#endif
  stopAndCollect(installation, agent);
  // Nothing of the strangers' text is logged: only the count of what was dropped, by user.
  std::uintmax_t logAfter = folderBytes(installation.dir().file("log"));
  EXPECT_LT(logAfter - logBefore, 2u << 20);
  std::string log = installation.log();
  EXPECT_EQ(log.find("TTTTTTTTTT"), std::string::npos);
  EXPECT_EQ(log.find("BBBBBBBBBB"), std::string::npos);
  EXPECT_NE(log.find("from users who may not command it (user 65534: "), std::string::npos);
}

TEST_F(SecurityTest, TheCoresListenerPrintsNoLogMessageOfAStranger) {
  Installation installation;
  openToStrangers(installation);
  FILE* listener =
      ::popen((std::string(VANTORCTL_PATH) + " listen --count 1 --timeout 30").c_str(), "r");
  ASSERT_TRUE(waitUntil(
      [&] { return fileExists(installation.dir().file("run/mailslot/Vantor_Core")); }, 30s));
  EXPECT_EQ(runAsNobody({FLOOD_MAILSLOT_PATH, "Vantor_Core", "forge", "Forged by nobody."}), 0);
  EXPECT_EQ(run(FLOOD_MAILSLOT_PATH, {"Vantor_Core", "forge", "Said by root."}), 0);
  std::string printed;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, listener)) {
    printed.append(buffer, got);
  }
  EXPECT_EQ(WEXITSTATUS(::pclose(listener)), 0);
  EXPECT_NE(printed.find("Said by root."), std::string::npos) << printed;
  EXPECT_EQ(printed.find("Forged by nobody."), std::string::npos) << printed;
}

TEST_F(SecurityTest, AStrangerIsToldNothingOfTheAgentsStatus) {
  Installation installation;
  openToStrangers(installation);
  AgentProcess agent;
  ASSERT_TRUE(started(installation));
  // Where the answers would go: a mailslot anyone may write to, so only the agent decides.
  std::unique_ptr<platform::Env> env = platform::newSystemEnv();
  MailSlot replies(*env, IPC::RECEIVER, "stranger_reply", Senders::kAnyone);
  EXPECT_EQ(runAsNobody({FLOOD_MAILSLOT_PATH, "Vantor_Tarnwick", "ask", "stranger_reply"}), 0);
  EXPECT_EQ(run(FLOOD_MAILSLOT_PATH, {"Vantor_Tarnwick", "ask", "stranger_reply"}), 0);
  // Commands are handled in the order they came: root's answer comes after nobody's would.
  std::vector<ReceivedMessage> received;
  ASSERT_TRUE(waitUntil(
      [&] {
        if (replies.waitForMessage(100)) replies.receive(received);
        return !received.empty();
      },
      30s));
  IPCMessage answer;
  ASSERT_TRUE(parseIPCMessage(received[0].text, &answer));
  EXPECT_EQ(answer.reference, "asked-by-0");
  EXPECT_EQ(received.size(), 1u);
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(10s), 0);
}

TEST_F(SecurityTest, RecordsAndLogAreTheAgentsAloneWhateverTheUmask) {
  Installation installation;
  meterEverySecond(installation);  // the processes running make records
  // Every folder on the way open, so that only the files' own modes keep strangers out; the
  // working folder is the agent's to make.
  std::filesystem::remove_all(installation.workDir());
  for (const char* folder : {"", "log", "Log", "Log/temp"}) {
    ::chmod(installation.dir().file(folder).c_str(), 0755);
  }
  mode_t previous = ::umask(022);
  AgentProcess agent;
  ::umask(previous);
  ASSERT_TRUE(started(installation));
  waitForPolls(installation, 1);
  std::vector<std::string> files = stopAndCollect(installation, agent);
  ASSERT_FALSE(files.empty());
  struct stat status {};
  ASSERT_EQ(::stat(installation.workDir().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0750u);
  files.push_back(installation.dir().file("log/tarnwick.log"));
  for (const std::string& file : files) {
    ASSERT_EQ(::stat(file.c_str(), &status), 0) << file;
    EXPECT_EQ(status.st_mode & 07777, 0640u) << file;
    EXPECT_NE(runAsNobody({"cat", file}), 0) << file;
  }
}

}  // namespace
}  // namespace Vantor::integration
