// Processes for the benchmarks to meter: sleeping children, started and settled, ended at
// the end.
#ifndef TARNWICK_BENCH_SLEEPINGCHILDREN_H_
#define TARNWICK_BENCH_SLEEPINGCHILDREN_H_

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>
#include <vector>

extern char** environ;

class SleepingChildren {
 public:
  explicit SleepingChildren(std::size_t count) {
    while (pids_.size() < count) {
      pid_t child = 0;
      char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("900"), nullptr};
      if (::posix_spawnp(&child, "sleep", nullptr, nullptr, argv, environ) != 0) break;
      pids_.push_back(child);
    }
    // Settled: what is timed is the work on them, not their start-up.
    std::this_thread::sleep_for(std::chrono::seconds(2));
  }
  ~SleepingChildren() {
    for (pid_t child : pids_) ::kill(child, SIGKILL);
    for (pid_t child : pids_) ::waitpid(child, nullptr, 0);
  }
  SleepingChildren(const SleepingChildren&) = delete;
  SleepingChildren& operator=(const SleepingChildren&) = delete;

  const std::vector<pid_t>& pids() const { return pids_; }

 private:
  std::vector<pid_t> pids_;
};

#endif  // TARNWICK_BENCH_SLEEPINGCHILDREN_H_
