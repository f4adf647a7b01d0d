// Building one performance-data block of the "Process" object with about 1,000 processes
// alive (the benchmark starts them as sleeping children): for every process, and for only
// the 100 a performance monitor might measure. Reports milliseconds per block, its size, and
// the ratio of the two.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "SleepingChildren.h"
#include "platform/Env.h"
#include "platform/ProcessPerformance.h"
#include "support/SystemEnv.h"

namespace {

constexpr std::size_t kChildren = 1000;
constexpr std::size_t kMeasured = 100;

std::unique_ptr<SleepingChildren> children;
double everyMillis = 0;
double chosenMillis = 0;

void build(benchmark::State& state, const std::vector<Vantor::platform::ProcessId>* pids,
           double* millis) {
  std::vector<std::uint8_t> block;
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    if (!Vantor::testing::systemEnv().performanceCounters().readProcessData(pids, true, &block)) {
      state.SkipWithError("the process table cannot be read");
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  *millis = 1e3 * seconds / static_cast<double>(state.iterations());
  state.counters["ms_per_block"] = *millis;
  state.counters["block_bytes"] = static_cast<double>(block.size());
}

void EveryProcess(benchmark::State& state) { build(state, nullptr, &everyMillis); }

void MeasuredProcessesOnly(benchmark::State& state) {
  std::vector<Vantor::platform::ProcessId> pids;
  for (std::size_t i = 0; i < kMeasured; ++i) {
    pids.push_back({static_cast<std::uint32_t>(children->pids()[i]), 0});
  }
  build(state, &pids, &chosenMillis);
}

BENCHMARK(EveryProcess)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(MeasuredProcessesOnly)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
  Vantor::testing::systemEnv().raiseOpenFileLimit();
  children = std::make_unique<SleepingChildren>(kChildren);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  children.reset();
  if (chosenMillis > 0) {
    std::printf("%zu processes alive: every process %.1f ms, %zu of them %.2f ms, ratio %.1f\n",
                kChildren, everyMillis, kMeasured, chosenMillis, everyMillis / chosenMillis);
  }
  return 0;
}
