// One pass of the module poller over 500 metered processes (the benchmark starts them as
// sleeping children), while another thread takes the process map over and over as an event
// source would. Reports milliseconds per pass and per delivery dump, the longest that thread
// waited for the map meanwhile, and, for comparison, how long reading every process's modules with
// the map held would hold it (what a pass that read under the lock would make the events wait).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "MeteredMachine.h"
#include "SleepingChildren.h"
#include "platform/Env.h"
#include "sources/ModulePoller.h"
#include "support/SystemEnv.h"

namespace {

constexpr std::size_t kChildren = 500;

void ModulePass(benchmark::State& state) {
  MeteredMachine machine(nullptr);
  Vantor::ModulePoller modulePoller(Vantor::testing::systemEnv(), machine.logger, machine.map);
  modulePoller.pollModules();  // the first pass fills every module table
  MapContender contender(machine.map);
  double millis = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    modulePoller.pollModules();
    millis += millisSince(start);
  }
  state.counters["metered"] = static_cast<double>(machine.map.size());
  state.counters["ms_per_pass"] = millis / static_cast<double>(state.iterations());
  state.counters["longest_map_wait_ms"] = contender.stop();
}

// A delivery's dump: it looks at the modules first, then writes every usage record and ends
// every module stretch with the map held.
void DumpWithModules(benchmark::State& state) {
  MeteredMachine machine(nullptr);
  machine.streams.registerLogFile(machine.work + "/ProcessLog", "process", Vantor::TimeSpan(3600),
                                  false, nullptr);
  Vantor::ModulePoller modulePoller(Vantor::testing::systemEnv(), machine.logger, machine.map);
  modulePoller.pollModules();
  MapContender contender(machine.map);
  double millis = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    machine.map.dumpAll();
    millis += millisSince(start);
  }
  state.counters["metered"] = static_cast<double>(machine.map.size());
  state.counters["ms_per_dump"] = millis / static_cast<double>(state.iterations());
  state.counters["longest_map_wait_ms"] = contender.stop();
}

// What a pass that read the modules with the map held would hold it for.
void ModulesReadUnderTheLock(benchmark::State& state) {
  MeteredMachine machine(nullptr);
  // What the map holds: every process of the machine.
  std::vector<Vantor::platform::ListedProcess> metered;
  Vantor::testing::systemEnv().newProcessTable()->list(&metered);
  double longest = 0;
  std::size_t modules = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::optional<Vantor::ProcessMap::Hold> hold(std::in_place, machine.map);
    hold->take("bench");
    std::vector<std::string> names;
    for (const Vantor::platform::ListedProcess& process : metered) {
      if (auto opened =
              Vantor::testing::systemEnv().openProcess(process.id.pid, process.id.startStamp)) {
        Vantor::Process::moduleNames(*opened.value(), names);
        modules += names.size();
      }
    }
    hold.reset();
    longest = std::max(longest, millisSince(start));
  }
  state.counters["metered"] = static_cast<double>(machine.map.size());
  state.counters["modules_per_pass"] =
      static_cast<double>(modules) / static_cast<double>(state.iterations());
  state.counters["map_held_ms"] = longest;
}

BENCHMARK(ModulePass)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(DumpWithModules)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(ModulesReadUnderTheLock)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  Vantor::testing::systemEnv().raiseOpenFileLimit();
  Vantor::setDebugLevel(0);
  SleepingChildren children(kChildren);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
