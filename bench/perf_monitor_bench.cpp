// One cycle of the performance monitor over 100 measured processes (the benchmark starts them
// as sleeping children; the rules measure "sleep"), while another thread takes the process map
// over and over as an event source would. Reports milliseconds per cycle (50 of them the pause
// between the two reads a rate needs), the first reading of 100 processes registered at once,
// and the longest wait for the map meanwhile, beside what a cycle run with the map held makes it.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <optional>

#include "MeteredMachine.h"
#include "SleepingChildren.h"
#include "platform/Env.h"
#include "platform/ProcessPerformance.h"
#include "sources/PerformanceMonitor.h"
#include "support/SystemEnv.h"

namespace {

constexpr std::size_t kMeasured = 100;

std::shared_ptr<const Vantor::PerformanceSetup> measureSleepers() {
  auto setup = std::make_shared<Vantor::PerformanceSetup>();
  setup->counters.parse(
      "Elapsed Time | abs\n% Processor Time | avg\nPrivate Bytes | avg\nIO Data Bytes/sec | avg\n",
      Vantor::testing::systemEnv().performanceCounters().englishCounterNames());
  setup->rules.parse("sleep\n");
  return setup;
}

std::size_t measuredCount(Vantor::ProcessMap& map) {
  Vantor::ProcessMap::Hold hold(map);
  return hold.take("bench") ? map.measuredEntries().size() : 0;
}

// Cycles of the monitor; with mapHeld, each with the map held throughout.
void cycles(benchmark::State& state, bool mapHeld) {
  MeteredMachine machine(measureSleepers());
  Vantor::PerformanceMonitor monitor(Vantor::testing::systemEnv(), machine.logger, machine.map);
  monitor.readNewcomers();
  monitor.monitorPerformance();  // the first cycle reads the older block
  MapContender contender(machine.map);
  double millis = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    {
      // The lock is recursive at run time: the monitor takes it again inside.
      std::optional<Vantor::ProcessMap::Hold> hold;
      if (mapHeld) hold.emplace(machine.map).take("bench");
      monitor.monitorPerformance();
    }
    millis += millisSince(start);
  }
  state.counters["measured"] = static_cast<double>(measuredCount(machine.map));
  state.counters["ms_per_cycle"] = millis / static_cast<double>(state.iterations());
  state.counters["longest_map_wait_ms"] = contender.stop();
}

void MonitoringCycle(benchmark::State& state) { cycles(state, false); }
void MonitoringCycleWithTheMapHeld(benchmark::State& state) { cycles(state, true); }

// Every measured process registered at once, as at a start-up: their first readings.
void FirstReadings(benchmark::State& state) {
  double millis = 0;
  double longest = 0;
  std::size_t measured = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MeteredMachine machine(measureSleepers());
    Vantor::PerformanceMonitor monitor(Vantor::testing::systemEnv(), machine.logger, machine.map);
    MapContender contender(machine.map);
    state.ResumeTiming();
    auto start = std::chrono::steady_clock::now();
    monitor.readNewcomers();
    millis += millisSince(start);
    state.PauseTiming();
    longest = std::max(longest, contender.stop());
    measured = measuredCount(machine.map);
    state.ResumeTiming();
  }
  state.counters["measured"] = static_cast<double>(measured);
  state.counters["ms_per_first_reading"] = millis / static_cast<double>(state.iterations());
  state.counters["longest_map_wait_ms"] = longest;
}

BENCHMARK(MonitoringCycle)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(MonitoringCycleWithTheMapHeld)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(FirstReadings)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  Vantor::testing::systemEnv().raiseOpenFileLimit();
  Vantor::setDebugLevel(0);
  SleepingChildren children(kMeasured);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
