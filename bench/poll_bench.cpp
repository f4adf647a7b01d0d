// One full poll cycle of the process poller with about 1,000 and about 2,000 processes alive
// (the benchmark starts them), beside one run of `ps -e -o pid,user,etime,args` over the same
// table. Reports milliseconds per steady cycle and for the first cycle (every process new),
// microseconds per process, the descriptors the metered processes hold, and the ratios to ps.
// The package index, built once per run at the first product-name lookup, is timed apart.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "platform/Env.h"
#include "platform/ProcessTable.h"
#include "platform/VersionInfo.h"
#include "sources/ProcessPoller.h"
#include "support/SystemEnv.h"

extern char** environ;

namespace {

std::vector<pid_t> children;
std::map<int64_t, double> pollerMillis;
std::map<int64_t, double> firstMillis;
std::map<int64_t, double> psMillis;

std::size_t openDescriptors() {
  return static_cast<std::size_t>(std::distance(
      std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

// Keeps `wanted` sleeping children alive, settled: the cycle is timed, not their start-up.
void keepChildren(std::size_t wanted) {
  bool started = children.size() < wanted;
  while (children.size() < wanted) {
    pid_t child = 0;
    char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("900"), nullptr};
    if (::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ) != 0) break;
    children.push_back(child);
  }
  while (children.size() > wanted) {
    ::kill(children.back(), SIGKILL);
    ::waitpid(children.back(), nullptr, 0);
    children.pop_back();
  }
  if (started) std::this_thread::sleep_for(std::chrono::seconds(2));
}

std::size_t processesAlive() {
  std::vector<Vantor::platform::ListedProcess> processes;
  Vantor::testing::systemEnv().newProcessTable()->list(&processes);
  return processes.size();
}

void report(benchmark::State& state, std::map<int64_t, double>& store, std::size_t alive) {
  double millis = state.iterations() == 0
                      ? 0
                      : 1e3 * state.counters["seconds"] / static_cast<double>(state.iterations());
  state.counters.erase("seconds");
  state.counters["processes"] = static_cast<double>(alive);
  state.counters["ms_per_cycle"] = millis;
  state.counters["us_per_process"] = 1e3 * millis / static_cast<double>(alive);
  store[state.range(0)] = millis;
}

void PollCycle(benchmark::State& state) {
  keepChildren(static_cast<std::size_t>(state.range(0)));
  Vantor::setDebugLevel(0);
  char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
  std::string work = ::mkdtemp(pattern);
  Vantor::LoggerUnit logger(nullptr, Vantor::kModuleTarnwick);
  Vantor::ExeFinder finder(Vantor::testing::systemEnv(), logger, logger);
  Vantor::Accounts accounts(Vantor::testing::systemEnv());
  Vantor::PrimeTime primeTime;
  Vantor::DataStreams streams(Vantor::testing::systemEnv(), nullptr);
  streams.registerLogFile(work + "/ProcessLog", "process", Vantor::TimeSpan(3600), false, nullptr);
  Vantor::ProcessMap map(Vantor::testing::systemEnv(), logger, finder, accounts, primeTime, streams,
                         {"N/A", "bench", "amd64", "Linux"});
  Vantor::ProcessPoller poller(Vantor::testing::systemEnv(), logger, map, finder);
  poller.configure(Vantor::TimeSpan(10), Vantor::EventSource::kNone, true);
  std::size_t descriptors = openDescriptors();
  auto first = std::chrono::steady_clock::now();
  poller.pollProcesses(false);  // every process starts: product names are looked up once
  firstMillis[state.range(0)] =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count();
  state.counters["first_cycle_ms"] = firstMillis[state.range(0)];
  state.counters["metered"] = static_cast<double>(map.size());
  state.counters["descriptors_held"] = static_cast<double>(openDescriptors() - descriptors);
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    poller.pollProcesses(false);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  state.counters["seconds"] = seconds;
  report(state, pollerMillis, processesAlive());
  map.clear();
  std::filesystem::remove_all(work);
}

void PsRun(benchmark::State& state) {
  keepChildren(static_cast<std::size_t>(state.range(0)));
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int status = std::system("ps -e -o pid,user,etime,args > /dev/null");
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (status != 0) state.SkipWithError("ps failed");
  }
  state.counters["seconds"] = seconds;
  report(state, psMillis, processesAlive());
}

BENCHMARK(PollCycle)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(PsRun)->Arg(1000)->Arg(2000)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

int main(int argc, char** argv) {
  Vantor::testing::systemEnv().raiseOpenFileLimit();
  auto index = std::chrono::steady_clock::now();
  Vantor::platform::VersionInfo info;
  Vantor::testing::systemEnv().readVersionInfo("/usr/bin/sleep", &info);
  std::printf(
      "package index built in %.1f ms\n",
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - index).count());
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  keepChildren(0);
  for (const auto& [count, millis] : pollerMillis) {
    if (psMillis.count(count) == 0) continue;
    std::printf(
        "%lld sleeping children: steady cycle %.1f ms, first cycle %.1f ms, ps %.1f ms, ratios "
        "%.2f and %.2f\n",
        static_cast<long long>(count), millis, firstMillis[count], psMillis[count],
        millis / psMillis[count], firstMillis[count] / psMillis[count]);
  }
  return 0;
}
