// The agent's answer to "how are you": gathered from the workers' own counters and the last
// heartbeats the status monitor saw, without waiting on any of them.
#include <chrono>
#include <tuple>

#include "concurrency/ProcessFlags.h"
#include "runtime/Tarnwick.h"

namespace Vantor {

namespace {

// The most the status monitor waits for the process map to count it: a busy map is said to
// be busy.
constexpr auto kMapPatience = std::chrono::milliseconds(200);

}  // namespace

bool Tarnwick::meteringBegun() const {
  if (const ProcessEventSource* source = activeEventSource(); source && !polling_.load()) {
    return eventsBegun_.load() ||
           (source->pollsStandIn() && poller_ && poller_->fullPollsDone() > 0);
  }
  if (polling_.load()) return poller_ && poller_->fullPollsDone() > 0;
  return mainLoopRunning_.load();  // nothing to wait for
}

std::pair<std::string, std::string> Tarnwick::eventSourceStatus() const {
  const ProcessEventSource* source = activeEventSource();
  if (!source) {
    if (eventsWanted_.load()) return {"polls", "falling back to polls"};
    if (!polling_.load()) return {"none", "neither polls nor events are configured"};
    return {"polls", "polling every " + std::to_string(pollSeconds_.load()) + " s"};
  }
  bool driver = eventSource_.load() == EventSource::kKernelDriver;
  std::string name = driver ? "driver" : "kernel events";
  if (source->pollsStandIn()) return {name, "falling back to polls"};
  if (!source->isRunning()) return {name, "waiting for events"};
  return {name, driver ? "driver connected" : "events flowing"};
}

void Tarnwick::publishWorkerStatus() {
  std::vector<ThreadTable::WorkerStatus> workers = threads().workerStatus();
  std::optional<std::size_t> processes;
  if (processMap_) processes = processMap_->sizeWithin(kMapPatience);
  platform::MutexLock lock(&workerStatusMutex_);
  workerStatus_ = std::move(workers);
  mapSize_ = processes;
}

AgentStatus Tarnwick::currentStatus() const {
  AgentStatus status;
  status.version = TARNWICK_VERSION;
  status.pid = env().processId();
  status.started = startedAt_;
  status.state = quitFlag.load() ? "stopping" : meteringBegun() ? "metering" : "starting";
  status.configurations = configurations_.load();
  std::tie(status.eventSource, status.eventState) = eventSourceStatus();
  if (poller_) {
    status.fullPolls = poller_->fullPollsDone();
    status.repairs = poller_->repairsMade();
  }
  for (const ProcessEventSource* source :
       {static_cast<const ProcessEventSource*>(eventTracer_.get()),
        static_cast<const ProcessEventSource*>(driverTracer_.get())}) {
    if (source) status.eventsLost += source->eventsLost();
  }
  status.streams = streams().status();
  platform::MutexLock lock(&workerStatusMutex_);
  status.workers = workerStatus_;
  status.processes = mapSize_;
  return status;
}

}  // namespace Vantor
