#include "integration/Harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <thread>

#include "foundation/Exception.h"
#include "ipc/IPCClient.h"
#include "ipc/IPCMessage.h"
#include "ipc/MailSlot.h"
#include "support/SystemEnv.h"
#include "usage/DataRecords.h"

extern char** environ;

namespace Vantor::integration {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

std::string withinTarnwickSection(std::string conf, const std::string& entries) {
  const std::string section = "tarnwick() = \"\" {";
  conf.replace(conf.find(section), section.size(), section + "\n  " + entries);
  return conf;
}

Installation::Installation()
    : registry_("VANTOR_REGISTRY", dir_.file("registry.reg").c_str()),
      runtime_("VANTOR_RUNTIME_DIR", dir_.file("run").c_str()) {
  std::string command =
      std::string(TARNWICK_SOURCE_DIR) + "/tools/make-installation " + dir_.path() + " > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  std::string conf = readFile(confFile());
  conf = withinTarnwickSection(conf, "log() = \"\" { debug-level(Integer) = 5 {} }");
  writeFile(confFile(), conf);
  editConf("polling(Bool) = true", "polling(Bool) = false");
}

std::string Installation::log() const {
  // On a busy machine the log is rotated: its earlier parts are named by the time they began.
  std::vector<std::string> parts;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.file("log"))) {
    std::string name = entry.path().filename().string();
    if (name.rfind("tarnwick_", 0) == 0 && name.ends_with(".log")) parts.push_back(name);
  }
  std::sort(parts.begin(), parts.end());
  std::string text;
  for (const std::string& part : parts) text += readFile(dir_.file("log/" + part));
  return text + readFile(dir_.file("log/tarnwick.log"));
}

void Installation::editConf(const std::string& text, const std::string& replacement) const {
  std::string conf = readFile(confFile());
  std::size_t at = conf.find(text);
  ASSERT_NE(at, std::string::npos) << text;
  conf.replace(at, text.size(), replacement);
  writeFile(confFile(), conf);
}

AgentProcess::AgentProcess(const std::vector<std::string>& prefix,
                           const std::vector<std::string>& arguments, const std::string& program) {
  std::vector<char*> argv;
  for (const std::string& word : prefix) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& word : arguments) argv.push_back(const_cast<char*>(word.c_str()));
  argv.push_back(nullptr);
  char errorFile[] = "/tmp/tarnwick-stderr-XXXXXX";
  int fd = ::mkstemp(errorFile);
  EXPECT_GE(fd, 0);
  ::close(fd);
  errorFile_ = errorFile;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, errorFile, O_WRONLY | O_APPEND, 0);
  EXPECT_EQ(::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
}

AgentProcess::~AgentProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(errorFile_.c_str());
}

std::string AgentProcess::errorOutput() const { return readFile(errorFile_); }

bool AgentProcess::running() {
  if (exited_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) {
    exited_ = true;
    status_ = status;
    return false;
  }
  return true;
}

int AgentProcess::exitStatus(std::chrono::milliseconds deadline) {
  if (!waitUntil([&] { return !running(); }, deadline)) return -1;
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

std::string vantorctl(const std::string& arguments, int* status) {
  FILE* pipe = ::popen((std::string(VANTORCTL_PATH) + " " + arguments + " 2>&1").c_str(), "r");
  std::string out;
  char buffer[512];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  int result = ::pclose(pipe);
  if (status != nullptr) *status = WEXITSTATUS(result);
  return out;
}

std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t seen = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + 1)) {
    ++seen;
  }
  return seen;
}

namespace {

// The scalars at the top of a JSON object: the agent's status lists them before its arrays.
std::map<std::string, std::string> topLevelScalars(const std::string& json) {
  std::map<std::string, std::string> scalars;
  std::size_t at = json.find('{');
  while (at != std::string::npos) {
    std::size_t keyStart = json.find('"', at + 1);
    if (keyStart == std::string::npos) break;
    std::size_t keyEnd = json.find('"', keyStart + 1);
    std::size_t valueStart = json.find_first_not_of(" :", keyEnd + 1);
    if (keyEnd == std::string::npos || valueStart == std::string::npos || json[valueStart] == '[' ||
        json[valueStart] == '{') {
      break;
    }
    std::size_t valueEnd = json[valueStart] == '"' ? json.find('"', valueStart + 1) + 1
                                                   : json.find_first_of(",}", valueStart);
    std::string value = json.substr(valueStart, valueEnd - valueStart);
    if (!value.empty() && value.front() == '"') value = value.substr(1, value.size() - 2);
    scalars[json.substr(keyStart + 1, keyEnd - keyStart - 1)] = value;
    at = json.find_first_of(",}", valueEnd);
    if (at == std::string::npos || json[at] == '}') break;
  }
  return scalars;
}

// Asks the agent for its status until it satisfies wanted, four times a second: each ask is
// work for the agent, perhaps in the middle of a burst.
bool statusBecomes(const std::function<bool(const std::map<std::string, std::string>&)>& wanted,
                   std::chrono::seconds deadline) {
  auto until = std::chrono::steady_clock::now() + deadline;
  while (true) {
    std::map<std::string, std::string> status = agentStatus();
    if (!status.empty() && wanted(status)) return true;
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(250ms);
  }
}

std::string textIn(const std::map<std::string, std::string>& status, const std::string& key) {
  auto found = status.find(key);
  return found == status.end() ? "" : found->second;
}

long long numberIn(const std::map<std::string, std::string>& status, const std::string& key) {
  std::string text = textIn(status, key);
  return text.empty() ? -1 : std::atoll(text.c_str());
}

}  // namespace

std::map<std::string, std::string> agentStatus() {
  // Asked from this process, as vantorctl asks: a program run for each ask would load the
  // machine, and be metered too.
  static std::atomic<int> asks{0};
  std::string tag = std::to_string(::getpid()) + "_" + std::to_string(++asks);
  std::string reference = "harness-" + tag;
  std::vector<ReceivedMessage> received;
  try {
    MailSlot replies(testing::systemEnv(), IPC::RECEIVER, "harness_status_" + tag,
                     Senders::kAnyone);
    IPCClient(testing::systemEnv(), "Vantor_Tarnwick")
        .send("COMMAND", reference, "STATUS_JSON", "harness_status_" + tag);
    auto until = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < until) {
      if (!replies.waitForMessage(100)) continue;
      replies.receive(received);
      for (const ReceivedMessage& message : received) {
        IPCMessage reply;
        if (parseIPCMessage(message.text, &reply) && reply.reference == reference) {
          return topLevelScalars(reply.body);
        }
      }
      received.clear();
    }
  } catch (const Exception&) {
    // No agent listens (yet).
  }
  return {};
}

bool started(const Installation& installation, int configurations) {
  // Asked before the agent made its runtime folders, vantorctl would make them, and an agent
  // of another user could not use them.
  return waitUntil(
             [&] {
               return testing::fileExists(installation.dir().file("run/mailslot/Vantor_Tarnwick"));
             },
             60s) &&
         statusBecomes(
             [&](const auto& status) {
               return textIn(status, "state") == "metering" &&
                      numberIn(status, "configurations") >= configurations;
             },
             60s);
}

std::vector<std::string> dataFiles(const Installation& installation, const std::string& suffix) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(installation.workDir())) {
    std::string name = entry.path().filename().string();
    if (name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      files.push_back(entry.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

namespace {

// The files of a stream, by its file name.
std::vector<std::string> filesOf(const std::vector<std::string>& files, const std::string& stream) {
  std::vector<std::string> chosen;
  for (const std::string& file : files) {
    if (file.find(stream) != std::string::npos) chosen.push_back(file);
  }
  return chosen;
}

// The records of the files, as the one reader of the record format reads them; a file it
// refuses fails the test.
DataRecords recordsIn(const std::vector<std::string>& files) {
  DataRecords all;
  for (const std::string& file : files) {
    RecordDamage damage;
    std::optional<DataRecords> records =
        readDataRecords(readFile(file), std::numeric_limits<std::int64_t>::max(), &damage);
    EXPECT_TRUE(records) << file << ":" << damage.line << ": " << damage.reason;
    if (!records) continue;
    all.usage.insert(all.usage.end(), records->usage.begin(), records->usage.end());
    all.modules.insert(all.modules.end(), records->modules.begin(), records->modules.end());
    all.performance.insert(all.performance.end(), records->performance.begin(),
                           records->performance.end());
  }
  return all;
}

std::string statusText(const std::optional<std::int32_t>& status) {
  return status ? std::to_string(*status) : "none";
}

}  // namespace

std::vector<UsageRecord> allRecords(const std::vector<std::string>& files) {
  std::vector<UsageRecord> records;
  for (const UsageInterval& usage : recordsIn(filesOf(files, "ProcessLog")).usage) {
    records.push_back({usage.start,
                       {usage.workgroup, usage.computer, usage.architecture, usage.system,
                        usage.file, usage.product, usage.directory, usage.timeClass, usage.user,
                        statusText(usage.exitStatus)},
                       (usage.first ? "1:" : "0:") + std::to_string(usage.length)});
  }
  return records;
}

std::vector<ModuleUse> moduleRecords(const std::vector<std::string>& files) {
  std::vector<ModuleUse> records;
  for (const ModuleStretch& module : recordsIn(filesOf(files, "ModuleLog")).modules) {
    records.push_back(
        {module.firstSeen,
         {module.workgroup, module.computer, module.architecture, module.system, module.module,
          module.file, module.product, module.directory, module.timeClass, module.user},
         module.lifetime});
  }
  return records;
}

std::vector<PerformanceRecord> performanceRecords(const std::vector<std::string>& files) {
  std::vector<PerformanceRecord> records;
  for (const PerformanceFigures& f : recordsIn(filesOf(files, "PerfMonLog")).performance) {
    records.push_back({f.start,
                       {"undef", f.user, f.computer, f.architecture, f.system, f.file,
                        statusText(f.exitStatus), f.workgroup, f.timeClass, f.product},
                       {f.processorSeconds, f.elapsedSeconds, f.ioBytesPerSecond, f.processorShare,
                        f.elapsedSeconds, f.memoryShare, f.memorySeconds, f.memorySeconds}});
  }
  return records;
}

std::vector<UsageRecord> recordsOf(const std::vector<std::string>& files,
                                   const std::string& executable) {
  // A path is matched whole: another test's program of the same name is not this one's.
  bool path = executable.find('/') != std::string::npos;
  std::vector<UsageRecord> records;
  for (UsageRecord& record : allRecords(files)) {
    if ((path ? record.fields[6] + record.file() : record.file()) == executable) {
      records.push_back(std::move(record));
    }
  }
  return records;
}

void awaitEventsHandled(const Installation& installation) {
  static int markers = 0;
  std::string marker =
      copyOf(installation, EXIT_WITH_PATH, "handled-marker-" + std::to_string(++markers));
  run(marker, {"after", "200", "0"});
  // Events are handled in the order they came: the marker's end comes after every earlier one.
  EXPECT_TRUE(waitUntil(
      [&] {
        vantorctl("send TARNWICKDUMP");
        return !recordsOf(dataFiles(installation, ".data"), marker).empty();
      },
      120s))
      << "the events before " << marker << " were not handled in time";
}

pid_t spawn(const std::string& path, const char* argument) {
  pid_t child = 0;
  char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>(argument), nullptr};
  EXPECT_EQ(::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
  return child;
}

std::string userName() { return ::getpwuid(::getuid())->pw_name; }

void meterEvery(const Installation& installation, const std::string& interval) {
  installation.editConf("polling(Bool) = false", "polling(Bool) = true");
  installation.editConf("interval(TimeSpan) = PT5M", "interval(TimeSpan) = " + interval);
  writeFile(installation.confDir() + "primetime", "*:*:*:*:* exclude\n");
}

void giveToNobody(const Installation& installation) {
  constexpr uid_t kNobody = 65534;
  ::chmod(installation.dir().path().c_str(), 0755);
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(installation.dir().path())) {
    ASSERT_EQ(::lchown(entry.path().c_str(), kNobody, kNobody), 0) << entry.path();
  }
  ASSERT_EQ(::chown(installation.dir().path().c_str(), kNobody, kNobody), 0);
}

void meterByEvents(const Installation& installation, int debugLevel) {
  installation.editConf("events(Bool) = false", "events(Bool) = true");
  installation.editConf("native(Bool) = false", "native(Bool) = true");
  installation.editConf("debug-level(Integer) = 5",
                        "debug-level(Integer) = " + std::to_string(debugLevel));
}

void meterByDriver(const Installation& installation, int debugLevel) {
  installation.editConf("events(Bool) = false", "events(Bool) = true");
  installation.editConf("kernel-driver(Bool) = false", "kernel-driver(Bool) = true");
  installation.editConf("debug-level(Integer) = 5",
                        "debug-level(Integer) = " + std::to_string(debugLevel));
}

bool tracing(const Installation& installation, int configurations) {
  return started(installation, configurations) &&
         statusBecomes(
             [&](const auto& status) {
               return textIn(status, "event_state") == "events flowing" ||
                      textIn(status, "event_state") == "driver connected";
             },
             60s);
}

void meterEverySecond(const Installation& installation) { meterEvery(installation, "PT1S"); }

void waitForPolls(const Installation&, int polls) {
  long long before = -1;
  EXPECT_TRUE(statusBecomes(
      [&](const auto& status) {
        long long done = numberIn(status, "full_polls");
        if (before < 0) before = done;
        return done >= before + polls;
      },
      60s))
      << "no " << polls << " more full polls";
}

void waitForMore(const Installation& installation, const std::string& line, int times) {
  std::size_t before = countOf(installation.log(), line);
  EXPECT_TRUE(waitUntil([&] { return countOf(installation.log(), line) >= before + times; }, 60s))
      << line;
}

std::vector<std::string> stopAndCollect(const Installation& installation, AgentProcess& agent) {
  vantorctl("send DIE");
  EXPECT_EQ(agent.exitStatus(10s), 0);
  return dataFiles(installation, ".data");
}

int run(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<char*> argv = {const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t child = 0;
  EXPECT_EQ(::posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ), 0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

std::string copyOf(const Installation& installation, const char* from, const std::string& name) {
  std::string path = installation.dir().file(name);
  std::filesystem::copy_file(from, path);
  return path;
}

std::vector<std::string> linksOf(const Installation& installation, const std::string& program,
                                 const std::string& name, int count) {
  std::vector<std::string> links;
  for (int i = 0; i < count; ++i) {
    links.push_back(installation.dir().file(name + "-" + std::to_string(i)));
    EXPECT_EQ(::link(program.c_str(), links.back().c_str()), 0) << links.back();
  }
  return links;
}

void expectOneRecordEach(const std::vector<std::string>& files,
                         const std::map<std::string, std::string>& statusOf,
                         std::size_t mostUnread) {
  std::map<std::string, std::string> byName;  // the kernel's name alone: the file name
  for (const auto& [path, status] : statusOf) byName[path.substr(path.rfind('/') + 1)] = path;
  std::map<std::string, int> count;
  std::size_t unread = 0;
  for (const UsageRecord& record : allRecords(files)) {
    std::string path = record.fields[6] + record.file();
    if (record.fields[6].empty()) {
      auto named = byName.find(record.file());
      if (named == byName.end()) continue;
      path = named->second;
      ++unread;
    }
    auto wanted = statusOf.find(path);
    if (wanted == statusOf.end()) continue;
    ++count[path];
    EXPECT_EQ(record.exitCode(), wanted->second) << path;
    EXPECT_EQ(record.second.substr(0, 2), "1:") << path;  // one record each: each a first one
  }
  std::map<std::string, int> missing;  // by status
  for (const auto& [path, status] : statusOf) {
    EXPECT_LE(count[path], 1) << path << " has more than one record";
    if (count[path] == 0) ++missing[status];
  }
  // Every process of the machine is metered: a nameless record may be another test's.
  for (const UsageRecord& record : recordsOf(files, "<<lost>>")) {
    auto wanted = missing.find(record.exitCode());
    if (wanted == missing.end() || wanted->second == 0) continue;
    --wanted->second;
    ++unread;
  }
  for (const auto& [status, left] : missing) EXPECT_EQ(left, 0) << "missing of status " << status;
  EXPECT_LE(unread, mostUnread);
}

void expectEachMeteredOnce(const Installation& installation, AgentProcess& agent, int processes) {
  std::string program = copyOf(installation, EXIT_WITH_PATH, "exit_with");
  // Exit codes 0 to 199, and every tenth process ended by a signal.
  std::map<std::string, std::string> statusOf;
  const int kSignals[] = {SIGTERM, SIGKILL, SIGSEGV};
  std::vector<std::string> links = linksOf(installation, program, "once", processes);
  auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < processes; ++i) {
    int signal = kSignals[i / 10 % 3];
    int status = run(links[i], {std::to_string(i % 10 == 0 ? -signal : i % 200)});
    statusOf[links[i]] =
        std::to_string(WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status));
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  std::printf("%d processes at %.0f a second\n", processes, processes / took.count());
  awaitEventsHandled(installation);
  expectOneRecordEach(stopAndCollect(installation, agent), statusOf, 20);
}

std::vector<pid_t> burstWithSurvivors(const std::string& program, const std::string& sleeper) {
  std::vector<pid_t> survivors;
  for (int i = 0; i < 600; ++i) {
    if (i % 15 == 0) {
      survivors.push_back(spawn(sleeper, "600"));
    } else {
      run(program, {"0"});
    }
  }
  return survivors;
}

long long sumOfMatches(const std::string& text, const std::regex& pattern) {
  long long sum = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern);
       it != std::sregex_iterator(); ++it) {
    sum += std::stoll((*it)[1]);
  }
  return sum;
}

bool rescanFoundEach(const Installation& installation, std::size_t survivors) {
  std::string survivor = installation.dir().file("metered-survivor");
  std::string brief = installation.dir().file("exit_with");
  std::size_t survivorRecords = 0;
  std::size_t shortRecords = 0;
  bool found = waitUntil(
      [&] {
        std::vector<std::string> before = dataFiles(installation, ".data");
        vantorctl("send TARNWICKDUMP");
        std::vector<std::string> added;
        for (const std::string& file : dataFiles(installation, ".data")) {
          if (std::find(before.begin(), before.end(), file) == before.end()) added.push_back(file);
        }
        survivorRecords = recordsOf(added, survivor).size();
        shortRecords = recordsOf(added, brief).size();
        return survivorRecords == survivors && shortRecords == 0;
      },
      15s);
  EXPECT_TRUE(found) << survivorRecords << " of " << survivors << " survivors, " << shortRecords
                     << " short processes in the last delivery";
  return found;
}

}  // namespace Vantor::integration
