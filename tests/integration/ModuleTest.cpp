// Module records of real processes: the agent sees a program load and unload shared
// libraries, and writes one record for each stretch a library was loaded.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "integration/Harness.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testing::waitUntil;
using testing::writeFile;

const std::string kPass = "Done polling modules.";
const std::string kHeld = std::filesystem::path(PROBE_A_PATH).filename();
const std::string kKept = std::filesystem::path(PROBE_B_PATH).filename();

// Module records on, the module poller every second, processes learnt from kernel events.
void recordModules(const Installation& installation) {
  meterByEvents(installation);
  installation.editConf("module-data(Bool) = false", "module-data(Bool) = true");
  installation.editConf("interval(TimeSpan) = P0", "interval(TimeSpan) = PT1S");
}

// hold_library, running: when it loaded its libraries and when it unloaded the held one.
class LibraryHolder {
 public:
  LibraryHolder(const Installation& installation, int heldSeconds,
                const std::string& program = HOLD_LIBRARY_PATH)
      : out_(installation.dir().file("holder-" + std::to_string(heldSeconds))) {
    std::string seconds = std::to_string(heldSeconds);
    const char* argv[] = {program.c_str(), out_.c_str(),    PROBE_B_PATH,
                          PROBE_A_PATH,    seconds.c_str(), nullptr};
    EXPECT_EQ(::posix_spawn(&pid_, program.c_str(), nullptr, nullptr,
                            const_cast<char* const*>(argv), environ),
              0);
  }
  ~LibraryHolder() { end(); }
  // The second at which it told what; waits for it.
  long long when(const std::string& what) {
    long long at = 0;
    EXPECT_TRUE(waitUntil(
        [&] {
          std::istringstream lines(readFile(out_));
          std::string told;
          while (lines >> told >> at) {
            if (told == what) return true;
          }
          return false;
        },
        60s))
        << what;
    return at;
  }
  // Ends it and returns the second it ended.
  long long end() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
      pid_ = 0;
    }
    return std::time(nullptr);
  }

 private:
  std::string out_;
  pid_t pid_ = 0;
};

std::vector<ModuleUse> recordsOfModule(const std::vector<ModuleUse>& records,
                                       const std::string& module) {
  std::vector<ModuleUse> chosen;
  std::copy_if(records.begin(), records.end(), std::back_inserter(chosen),
               [&](const ModuleUse& record) { return record.module() == module; });
  return chosen;
}

TEST(ModuleTest, EachStretchALibraryWasLoadedIsOneRecord) {
  Installation installation;
  recordModules(installation);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();

  LibraryHolder holder(installation, 3);
  long long loaded = holder.when("loaded");
  long long unloaded = holder.when("unloaded");
  // Two passes after the unload: one has surely found it gone.
  waitForMore(installation, kPass, 2);
  int status = -1;
  long long dumped = std::time(nullptr);
  EXPECT_EQ(vantorctl("send TARNWICKDUMP", &status), "\n");
  EXPECT_EQ(status, 0);
  // The dump's module records are delivered with it, not one delivery late.
  EXPECT_EQ(recordsOfModule(moduleRecords(dataFiles(installation, ".data")), kKept).size(), 1u);
  waitForMore(installation, kPass, 1);
  long long ended = holder.end();
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<ModuleUse> records = moduleRecords(files);

  // Found by the first pass after the load, found gone by the first pass after the unload.
  std::vector<ModuleUse> held = recordsOfModule(records, kHeld);
  ASSERT_EQ(held.size(), 1u) << installation.log();
  EXPECT_GE(held[0].firstSeen, loaded);
  EXPECT_LE(held[0].firstSeen, loaded + 2);
  EXPECT_GE(held[0].lastSeen(), unloaded);
  EXPECT_LE(held[0].lastSeen(), unloaded + 2);
  EXPECT_EQ(held[0].file(), "hold_library");

  // Still loaded: ended by the dump, and again by the end of its process.
  std::vector<ModuleUse> kept = recordsOfModule(records, kKept);
  ASSERT_EQ(kept.size(), 2u) << installation.log();
  EXPECT_LE(kept[0].firstSeen, loaded + 2);
  EXPECT_GE(kept[0].lastSeen(), dumped);
  EXPECT_LE(kept[0].lastSeen(), dumped + 2);
  EXPECT_EQ(kept[1].firstSeen, kept[0].lastSeen());
  EXPECT_GE(kept[1].lastSeen(), ended - 1);
  EXPECT_LE(kept[1].lastSeen(), ended + 1);

  // The executable is no module of its own; the C library is one, with the facts the usage
  // record of the process carries.
  EXPECT_TRUE(recordsOfModule(records, "hold_library").empty());
  ASSERT_FALSE(recordsOfModule(records, "libc.so.6").empty()) << installation.log();
  std::vector<UsageRecord> usage = recordsOf(files, "hold_library");
  ASSERT_EQ(usage.size(), 2u);
  for (int field : {0, 1, 2, 3}) EXPECT_EQ(held[0].fields[field], usage[0].fields[field]);
  EXPECT_EQ(held[0].fields[7], usage[0].fields[6]);  // directory
  EXPECT_EQ(held[0].fields[8], usage[0].fields[7]);  // time class
}

TEST(ModuleTest, AProgramWhoseFileIsRenamedWhileItRunsKeepsItsModuleStretches) {
  Installation installation;
  recordModules(installation);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  std::string before = installation.dir().file("holder_before");
  std::string after = installation.dir().file("holder_after");
  std::filesystem::copy_file(HOLD_LIBRARY_PATH, before);

  LibraryHolder holder(installation, 4, before);
  long long loaded = holder.when("loaded");
  waitForMore(installation, kPass, 1);
  std::filesystem::rename(before, after);  // as an upgrade moves a running program's file
  long long unloaded = holder.when("unloaded");
  waitForMore(installation, kPass, 5);
  long long ended = holder.end();
  std::vector<ModuleUse> records = moduleRecords(stopAndCollect(installation, agent));

  // The unload is seen at the pass after it, not taken for the process's end.
  std::vector<ModuleUse> held = recordsOfModule(records, kHeld);
  ASSERT_EQ(held.size(), 1u) << installation.log();
  EXPECT_LE(held[0].firstSeen, loaded + 2);
  EXPECT_LE(held[0].lastSeen(), unloaded + 2);
  EXPECT_LT(held[0].lastSeen(), ended - 1);
}

TEST(ModuleTest, NoModuleOutlivesItsProcessWhenProcessesArePolled) {
  Installation installation;
  recordModules(installation);
  installation.editConf("events(Bool) = true", "events(Bool) = false");
  meterEvery(installation, "PT6S");
  AgentProcess agent;
  ASSERT_TRUE(started(installation)) << installation.log();
  {
    LibraryHolder holder(installation, 1000);
    holder.when("loaded");
    waitForPolls(installation, 2);
    // Ended just before the next poll, which dates its end back half an interval: before the
    // module passes that find it gone.
    std::this_thread::sleep_for(4500ms);
  }
  waitForPolls(installation, 1);
  std::vector<std::string> files = stopAndCollect(installation, agent);
  std::vector<UsageRecord> usage = recordsOf(files, "hold_library");
  ASSERT_EQ(usage.size(), 1u) << installation.log();
  long long ended = usage[0].start + usage[0].duration();
  std::size_t modules = 0;
  for (const ModuleUse& record : moduleRecords(files)) {
    if (record.file() != "hold_library") continue;
    ++modules;
    EXPECT_LE(record.lastSeen(), ended) << record.module();
  }
  EXPECT_GE(modules, 3u);
}

TEST(ModuleTest, AReconfigurationEndsTheStretchesAndKeepsAFilterItCannotRead) {
  Installation installation;
  recordModules(installation);
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation)) << installation.log();
  LibraryHolder holder(installation, 1000);
  holder.when("loaded");
  waitForMore(installation, kPass, 2);
  auto reconfigure = [&](int times) {
    ::kill(agent.pid(), SIGHUP);
    EXPECT_TRUE(tracing(installation, times)) << installation.log();
  };

  // A filter that cannot be read: the one in use stays, and the agent meters on.
  std::string filter = installation.confDir() + "tarnwick_modpoller.conf";
  std::filesystem::remove(filter);
  std::filesystem::create_directory(filter);
  reconfigure(2);
  EXPECT_NE(installation.log().find("The module filter in use is kept."), std::string::npos);
  std::filesystem::remove(filter);
  // Off for a while, then on again: nothing is recorded for the time between.
  installation.editConf("module-data(Bool) = true", "module-data(Bool) = false");
  reconfigure(3);
  long long off = std::time(nullptr);
  std::this_thread::sleep_for(2s);
  installation.editConf("module-data(Bool) = false", "module-data(Bool) = true");
  reconfigure(4);
  waitForMore(installation, kPass, 2);
  holder.end();

  std::vector<ModuleUse> kept =
      recordsOfModule(moduleRecords(stopAndCollect(installation, agent)), kKept);
  ASSERT_EQ(kept.size(), 3u) << installation.log();
  EXPECT_EQ(kept[1].firstSeen, kept[0].lastSeen());
  EXPECT_LE(kept[1].lastSeen(), off);
  EXPECT_GE(kept[2].firstSeen, off + 2);
}

// The modules of one run of hold_library, with the filter file's text (none when null).
std::set<std::string> modulesRecordedWith(const char* filter) {
  Installation installation;
  recordModules(installation);
  std::string filterFile = installation.confDir() + "tarnwick_modpoller.conf";
  if (filter == nullptr) {
    std::filesystem::remove(filterFile);
  } else {
    writeFile(filterFile, filter);
  }
  AgentProcess agent;
  EXPECT_TRUE(tracing(installation)) << installation.log();
  {
    LibraryHolder holder(installation, 1000);
    holder.when("loaded");
    waitForMore(installation, kPass, 2);
  }
  std::set<std::string> modules;
  for (const ModuleUse& record : moduleRecords(stopAndCollect(installation, agent))) {
    if (record.file() == "hold_library") modules.insert(record.module());
  }
  return modules;
}

TEST(ModuleTest, TheFilterFileDecidesWhichModulesAreRecordedOnThisComputer) {
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  std::string computer(host, std::string(host).find('.') == std::string::npos
                                 ? std::string(host).size()
                                 : std::string(host).find('.'));

  std::set<std::string> all = modulesRecordedWith(nullptr);
  EXPECT_TRUE(all.count(kHeld) && all.count(kKept) && all.count("libc.so.6"))
      << ::testing::PrintToString(all);

  // Plain patterns, compared without regard to case, hold everywhere.
  EXPECT_EQ(modulesRecordedWith("# the probe only\nLIBTARNWICK_PROBE_A*   # held\n*.ocx\n"),
            std::set<std::string>{kHeld});

  std::string include = "+ host=" + computer.substr(0, 2) + "*\nlibtarnwick_probe_b.so\n";
  EXPECT_EQ(modulesRecordedWith(include.c_str()), std::set<std::string>{kKept});
  EXPECT_TRUE(modulesRecordedWith("+ host=not-this-one*\nlibtarnwick_probe_b.so\n").empty());

  // An exclude section keeps its modules off the hosts it names, and records them elsewhere.
  std::string exclude = "- host=" + computer + "\nlibtarnwick_probe_a*\n" +
                        "- host=not-this-one\nlibtarnwick_probe_*\n";
  EXPECT_EQ(modulesRecordedWith(exclude.c_str()), std::set<std::string>{kKept});
}

}  // namespace
}  // namespace Vantor::integration
