// The supervised worker threads: started, stopped and verified as a group, and checked by the
// status monitor with a two-phase heartbeat. A silent worker is killed and restarted, a dead
// one restarted, and a fatal report fails the check so the program shuts down.
// The table is changed only by the configuring thread while no worker runs; it is walked by
// the main thread and the status monitor, one at a time (REQUIRES: external synchronization).
#ifndef TARNWICK_SUPERVISION_THREADTABLE_H_
#define TARNWICK_SUPERVISION_THREADTABLE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "logging/LoggerUnit.h"
#include "supervision/ThreadEntry.h"

namespace Vantor {

class ThreadTable {
 public:
  using KillHook = std::function<void(std::uint32_t threadId)>;
  using Procedure = std::function<std::uint32_t(ThreadEntry&)>;

  // How long signalled workers get to leave before they are killed.
  static constexpr std::chrono::milliseconds kStopGrace{1000};

  explicit ThreadTable(std::shared_ptr<LogSender> sender);
  ~ThreadTable();

  // Appends a row and its job running procedure(row); the row's address stays valid until
  // clear().
  ThreadEntry& addThread(const std::string& name, std::uint16_t flags, Procedure procedure);
  // Called after a worker was killed, and before one is restarted, with its thread id; the
  // hook must find out itself whether that thread is dead yet.
  void setKillHook(KillHook hook) { killHook_ = std::move(hook); }

  bool startThreads();
  void stopThreads();
  // Waits up to wait in all for the signalled workers to leave; true when none runs.
  bool awaitStopped(std::chrono::milliseconds wait);
  bool verifyStoppedThreads();
  // One heartbeat pass; false when some row is down, silent or fatal.
  bool monitorThreads();
  // The health check: monitorThreads, then checkThread on every row when it failed.
  bool checkThreads();
  bool checkThread(ThreadEntry& row);
  // Removes every row; jobs still running are killed.
  void clear();

  // What a worker last told the supervision, and when it last answered as it should.
  struct WorkerStatus {
    std::string name;
    std::string state;  // "running", "seeing errors", "fatal", "quitting", "silent", "down"
    DateTime lastHeartbeat;
  };
  std::vector<WorkerStatus> workerStatus() const;

  std::size_t size() const { return rows_.size(); }
  ThreadEntry& row(std::size_t index) { return *rows_[index]; }

 private:
  void callKillHook(const ThreadEntry& row) const;

  LoggerUnit logger_;
  std::vector<std::unique_ptr<ThreadEntry>> rows_;
  KillHook killHook_;
  bool initiating_ = true;  // the next monitoring pass asks, the one after checks
};

}  // namespace Vantor

#endif  // TARNWICK_SUPERVISION_THREADTABLE_H_
