// What the benchmarks of the process map share: the machine's processes metered in a map, and
// a thread that takes the map over and over as an event source would.
#ifndef TARNWICK_BENCH_METEREDMACHINE_H_
#define TARNWICK_BENCH_METEREDMACHINE_H_

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "sources/ProcessPoller.h"

inline double millisSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

// The machine's processes in a process map with module records on, as the agent has them;
// with a performance setup, the processes it chooses are measured.
struct MeteredMachine {
  explicit MeteredMachine(std::shared_ptr<const Vantor::PerformanceSetup> performance) {
    char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
    work = ::mkdtemp(pattern);
    streams.registerLogFile(work + "/ModuleLog", "module", Vantor::TimeSpan(3600), false, nullptr);
    map.moduleLog().configure(std::make_shared<Vantor::ModuleFilter>());
    map.perfMonLog().configure(std::move(performance));
    poller.configure(Vantor::TimeSpan(10), Vantor::EventSource::kNone, true);
    poller.pollProcesses(false);
  }
  ~MeteredMachine() {
    map.clear();
    streams.clear();
    std::filesystem::remove_all(work);
  }

  std::string work;
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  Vantor::LoggerUnit logger{nullptr, Vantor::kModuleTarnwick};
  Vantor::ExeFinder finder{*env, logger, logger};
  Vantor::Accounts accounts{*env};
  Vantor::PrimeTime primeTime;
  Vantor::DataStreams streams{*env, nullptr};
  Vantor::ProcessMap map{
      *env, logger, finder, accounts, primeTime, streams, {"N/A", "bench", "amd64", "Linux"}};
  Vantor::ProcessPoller poller{*env, logger, map, finder};
};

// Takes the map as an event source does, and keeps the longest wait for it.
class MapContender {
 public:
  explicit MapContender(Vantor::ProcessMap& map)
      : thread_([this, &map] {
          while (!stop_.load()) {
            auto start = std::chrono::steady_clock::now();
            {
              Vantor::ProcessMap::Hold hold(map);
              hold.take("contender");
            }
            longest_ = std::max(longest_, millisSince(start));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  // The longest wait, once it has stopped.
  double stop() {
    stop_.store(true);
    thread_.join();
    return longest_;
  }

 private:
  std::atomic<bool> stop_{false};
  double longest_ = 0;
  std::thread thread_;
};

#endif  // TARNWICK_BENCH_METEREDMACHINE_H_
