// What the integration tests share: a temporary installation made by tools/make-installation,
// the real tarnwick binary started in it, and vantorctl.
#ifndef TARNWICK_TESTS_INTEGRATION_HARNESS_H_
#define TARNWICK_TESTS_INTEGRATION_HARNESS_H_

#include <sys/types.h>

#include <chrono>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace Vantor::integration {

// The configuration text with entries added at the top of the "tarnwick" section.
std::string withinTarnwickSection(std::string conf, const std::string& entries);

// A private installation with every debug line logged and the process poller off, so tests
// of the runtime see only the records they make.
class Installation {
 public:
  Installation();
  std::string confFile() const { return dir_.file("conf/tarnwick.conf"); }
  std::string confDir() const { return dir_.file("conf/"); }
  std::string log() const;
  std::string workDir() const { return dir_.file("Log/temp/Tarnwick/"); }
  std::string registryFile() const { return dir_.file("registry.reg"); }
  const testing::TempDir& dir() const { return dir_; }
  // Replaces the first occurrence of text in the configuration file.
  void editConf(const std::string& text, const std::string& replacement) const;

 private:
  testing::TempDir dir_;
  testing::ScopedEnv registry_;
  testing::ScopedEnv runtime_;
};

// The tarnwick binary, started in the installation the environment selects; killed at the
// end of the test if still running.
class AgentProcess {
 public:
  // prefix: a command that runs the agent (as another user, say); arguments: the agent's own;
  // program: the shipped agent, or TESTING_TARNWICK_PATH for the one with the test keys.
  explicit AgentProcess(const std::vector<std::string>& prefix = {},
                        const std::vector<std::string>& arguments = {},
                        const std::string& program = TARNWICK_PATH);
  ~AgentProcess();
  pid_t pid() const { return pid_; }
  bool running();
  // The exit status once it has ended within the deadline; -1 otherwise.
  int exitStatus(std::chrono::milliseconds deadline);
  // What it wrote to its standard error so far.
  std::string errorOutput() const;

 private:
  std::string errorFile_;
  pid_t pid_ = 0;
  bool exited_ = false;
  int status_ = 0;
};

// Makes the installation the agent's own when it runs as nobody.
void giveToNobody(const Installation& installation);

std::string vantorctl(const std::string& arguments, int* status = nullptr);

// How often needle stands in text.
std::size_t countOf(const std::string& text, const std::string& needle);

// What the running agent says of itself ("vantorctl status --json"): the JSON object's
// top-level scalars by key, strings unquoted; empty when no agent answered.
std::map<std::string, std::string> agentStatus();
// Whether the running agent meters, with at least this many configurations applied (a
// reconfiguration adds one).
bool started(const Installation& installation, int configurations = 1);

// The files of the working directory whose names end with suffix, sorted.
std::vector<std::string> dataFiles(const Installation& installation, const std::string& suffix);

// One usage record: the fields of its first line and its second line.
struct UsageRecord {
  long long start = 0;
  std::vector<std::string> fields;  // the ten fields after "1:S:31"
  std::string second;               // "1:D" or "0:D"
  long long duration() const { return std::stoll(second.substr(2)); }
  const std::string& file() const { return fields[4]; }
  const std::string& user() const { return fields[8]; }
  const std::string& exitCode() const { return fields[9]; }
};

// Every record of the files whose names hold "ProcessLog"; a file whose lines are not
// two-line records fails the test.
std::vector<UsageRecord> allRecords(const std::vector<std::string>& files);
// The records of executable: a full path (directory and file), or a file name.
std::vector<UsageRecord> recordsOf(const std::vector<std::string>& files,
                                   const std::string& executable);

// One module record: its first-seen second, the fields of its first line and its lifetime.
struct ModuleUse {
  long long firstSeen = 0;
  std::vector<std::string> fields;  // the ten fields after "1:F:53"
  long long lifetime = 0;
  long long lastSeen() const { return firstSeen + lifetime; }
  const std::string& module() const { return fields[4]; }
  const std::string& file() const { return fields[5]; }
};

// Every record of the files whose names hold "ModuleLog"; any other line fails the test.
std::vector<ModuleUse> moduleRecords(const std::vector<std::string>& files);

// One performance record: its start second, the fields of its first line and its figures.
struct PerformanceRecord {
  long long start = 0;
  std::vector<std::string> fields;  // the ten fields after "1:S:87", "undef" first
  std::vector<double> figures;      // the eight of the second line
  const std::string& file() const { return fields[5]; }
  const std::string& exitCode() const { return fields[6]; }
  double processorSeconds() const { return figures[0]; }
  double elapsed() const { return figures[1]; }
  // The mean private memory in bytes: memory seconds over elapsed seconds.
  double memory() const { return figures[1] > 0 ? figures[6] / figures[1] : 0; }
};

// Every record of the files whose names hold "PerfMonLog"; any other line fails the test.
std::vector<PerformanceRecord> performanceRecords(const std::vector<std::string>& files);

pid_t spawn(const std::string& path, const char* argument);
// Runs program with its arguments and waits for it; its wait status.
int run(const std::string& program, const std::vector<std::string>& arguments);
// A copy of the program at from, as name in the installation: its records are this test's.
std::string copyOf(const Installation& installation, const char* from, const std::string& name);
// Hard links to program in the installation, "NAME-0" to "NAME-<count-1>", one a process: a
// process of its own name cannot hide a second record behind a missing one of its status. The
// name stays within the kernel's 15 bytes, so a record with that name alone is attributed too.
std::vector<std::string> linksOf(const Installation& installation, const std::string& program,
                                 const std::string& name, int count);
// Expects one record for each program of statusOf (full path to exit status as recorded), with
// its status. A missing one may be stood in for by a nameless record of its status ("<<lost>>");
// those, and records with the program's name alone, at most mostUnread in all.
void expectOneRecordEach(const std::vector<std::string>& files,
                         const std::map<std::string, std::string>& statusOf,
                         std::size_t mostUnread);
// Runs a marker program of its own and asks for deliveries until its record is there: every
// process event before it has been handled then.
void awaitEventsHandled(const Installation& installation);
// Asks for deliveries until one holds a record of each of the running "metered-survivor"
// processes and none of the ended "exit_with" ones: what a rescan after lost events leaves.
bool rescanFoundEach(const Installation& installation, std::size_t survivors);
// Runs 600 processes of program one after another, every fifteenth a sleeper that survives
// (started, not waited for); the survivors' pids.
std::vector<pid_t> burstWithSurvivors(const std::string& program, const std::string& sleeper);
// The numbers the first group of pattern matches in text, summed.
long long sumOfMatches(const std::string& text, const std::regex& pattern);
// Runs processes copies of a program in a row, as fast as they go, each with its own exit
// status or signal, and expects every one recorded once with its status once the agent is
// ended (a few without a name, as processes reaped before they could be read are).
void expectEachMeteredOnce(const Installation& installation, AgentProcess& agent, int processes);
std::string userName();

// Polls at this interval ("PT1S"), with a calendar that makes every hour non-prime.
void meterEvery(const Installation& installation, const std::string& interval);
// Meters by kernel events alone; debugLevel: fewer debug lines, for thousands of processes.
void meterByEvents(const Installation& installation, int debugLevel = 5);
// Meters by the process-event driver's records alone.
void meterByDriver(const Installation& installation, int debugLevel = 5);
// Whether the running agent meters from flowing events, with at least this many
// configurations applied.
bool tracing(const Installation& installation, int configurations = 1);
void meterEverySecond(const Installation& installation);
// Waits until the agent has made polls more full polls of the process table, so what ended
// before is in its map.
void waitForPolls(const Installation& installation, int polls);
// Waits until the log has times more lines holding line than now.
void waitForMore(const Installation& installation, const std::string& line, int times);
// Ends the agent as the Core would and returns its delivered data files.
std::vector<std::string> stopAndCollect(const Installation& installation, AgentProcess& agent);

}  // namespace Vantor::integration

#endif  // TARNWICK_TESTS_INTEGRATION_HARNESS_H_
