// The agent killed outright, over and over, while processes start and end as fast as the
// machine allows: what it had learnt is in a data file after the next start, once.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "integration/Harness.h"

extern char** environ;

namespace Vantor::integration {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Names for one program, so that a name and an exit status tell the processes apart.
constexpr int kNames = 600;
// An end this close to a kill may still have been on its way to the agent, or in its queue:
// under this load the agent runs up to some hundred milliseconds behind.
constexpr auto kInFlight = 1000ms;

struct SpawnedProcess {
  std::string name;
  int status = 0;
  Clock::time_point started;
  Clock::time_point ended;
};

int killsWanted() {
  const char* set = std::getenv("TARNWICK_CRASH_KILLS");
  return set != nullptr ? std::atoi(set) : 50;
}

TEST(CrashSafetyTest, AnAgentKilledAtRandomMomentsLosesAndRepeatsNothing) {
  if (::getuid() != 0) GTEST_SKIP() << "the process connector needs root";
  Installation installation;
  meterByEvents(installation, 1);
  std::string program = installation.dir().file("crash0");
  std::filesystem::copy_file(EXIT_WITH_PATH, program);
  for (int i = 1; i < kNames; ++i) {
    std::filesystem::create_hard_link(program,
                                      installation.dir().file("crash" + std::to_string(i)));
  }

  // The leak checker of a sanitizer build ends a program by cloning a helper that is a
  // process of its own, running the same program: the agent's start-up poll would meter it as
  // a second run, as it does any process that forked without running a program of its own.
  std::vector<std::string> environment;
  std::string asanOptions = "ASAN_OPTIONS=detect_leaks=0";
  for (char** variable = environ; *variable != nullptr; ++variable) {
    std::string entry = *variable;
    if (entry.starts_with("ASAN_OPTIONS=")) {
      asanOptions = entry + ":detect_leaks=0";
    } else {
      environment.push_back(entry);
    }
  }
  environment.push_back(asanOptions);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  std::mutex runsMutex;
  std::vector<SpawnedProcess> runs;
  std::atomic<bool> stop{false};
  std::thread spawner([&] {
    for (int i = 0; !stop.load() && i < kNames * 256; ++i) {
      SpawnedProcess run{"crash" + std::to_string(i % kNames), i / kNames, Clock::now(), {}};
      std::string path = installation.dir().file(run.name);
      std::string status = std::to_string(run.status);
      char* argv[] = {path.data(), status.data(), nullptr};
      pid_t child = 0;
      if (::posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, envp.data()) != 0) continue;
      ::waitpid(child, nullptr, 0);
      run.ended = Clock::now();
      std::lock_guard<std::mutex> lock(runsMutex);
      runs.push_back(std::move(run));
    }
  });
  struct Joiner {
    std::atomic<bool>& stop;
    std::thread& thread;
    ~Joiner() {
      stop = true;
      if (thread.joinable()) thread.join();
    }
  } joiner{stop, spawner};

  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> lifetime(300, 2000);
  std::vector<std::pair<Clock::time_point, Clock::time_point>> windows;
  const int kills = killsWanted();
  for (int k = 0; k < kills; ++k) {
    AgentProcess agent;
    ASSERT_TRUE(tracing(installation)) << installation.log();
    Clock::time_point ready = Clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(lifetime(random)));
    Clock::time_point killed = Clock::now();
    ::kill(agent.pid(), SIGKILL);
    agent.exitStatus(10s);
    windows.emplace_back(ready, killed);
  }
  AgentProcess agent;
  ASSERT_TRUE(tracing(installation));
  Clock::time_point ready = Clock::now();
  std::this_thread::sleep_for(500ms);
  stop = true;
  spawner.join();
  std::this_thread::sleep_for(kInFlight);
  windows.emplace_back(ready, Clock::now());
  std::vector<std::string> files = stopAndCollect(installation, agent);

  // A process so short that it ended before its program could be read is recorded without a
  // name ("<<lost>>"), but with its exit status: such a record stands for one process of that
  // status.
  std::map<std::pair<std::string, std::string>, int> recorded;
  std::map<std::string, int> nameless;
  std::size_t records = 0;
  for (const UsageRecord& record : allRecords(files)) {
    if (record.file() == "<<lost>>") ++nameless[record.exitCode()];
    if (!record.file().starts_with("crash")) continue;
    ++recorded[{record.file(), record.exitCode()}];
    ++records;
  }
  std::size_t inside = 0;
  std::size_t lost = 0;
  std::size_t repeated = 0;
  std::size_t unnamed = 0;
  for (const SpawnedProcess& run : runs) {
    int count = recorded[{run.name, std::to_string(run.status)}];
    if (count > 1) ++repeated;
    auto window = std::find_if(windows.begin(), windows.end(), [&](const auto& candidate) {
      return run.started >= candidate.first && run.ended + kInFlight <= candidate.second;
    });
    if (window == windows.end() || count > 0) {
      inside += window != windows.end();
      continue;
    }
    ++inside;
    if (nameless[std::to_string(run.status)]-- > 0) {
      ++unnamed;
      continue;
    }
    ++lost;
    auto since = [](Clock::time_point from, Clock::time_point to) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
    };
    ADD_FAILURE() << run.name << " exit " << run.status << " of run " << window - windows.begin()
                  << ": started " << since(window->first, run.started) << " ms after the start, "
                  << "ended " << since(run.ended, window->second) << " ms before the kill";
  }
  std::printf(
      "%d kills; %zu processes, %zu of them while the agent ran; %zu named records, %zu of the "
      "processes recorded without a name; %zu lost, %zu recorded twice\n",
      kills, runs.size(), inside, records, unnamed, lost, repeated);
  EXPECT_GT(inside, 0u);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(repeated, 0u);
  EXPECT_LE(records, runs.size());
}

}  // namespace
}  // namespace Vantor::integration
