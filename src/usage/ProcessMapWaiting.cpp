// The map's two side maps: ends that came before their starts, and starts that could not be
// read yet.
#include "usage/ProcessMap.h"

namespace Vantor {

bool ProcessMap::addProcessToEndedProcessMap(const ProcessRef& process) {
  if (!ended_.emplace(process->pid(), process).second) return true;
  logger_.debug(3, "addProcessToEndedProcessMap: Added process %i", process->pid());
  endedOrder_.push_back(process);
  // Ends whose start never comes (programs not metered, processes that never ran one of
  // their own) must not make the agent grow with the rate they come at.
  while (endedOrder_.size() > kMostEndedProcesses) {
    dropOldestEnded();
  }
  return true;
}

void ProcessMap::dropOldestEnded() {
  const ProcessRef& oldest = endedOrder_.front();
  auto found = ended_.find(oldest->pid());
  // The map's entry may be a later end of that pid, or gone already (its start came).
  if (found != ended_.end() && found->second == oldest) ended_.erase(found);
  endedOrder_.pop_front();
}

bool ProcessMap::removeProcessFromEndedProcessMap(std::uint32_t pid) {
  ended_.erase(pid);
  logger_.debug(3, "removeProcessFromEndedProcessMap: Removed process %i", pid);
  return true;
}

ProcessRef ProcessMap::endedProcess(std::uint32_t pid) const {
  RenewableMutexLock lock(&endedLock_);
  auto found = ended_.find(pid);
  return found == ended_.end() ? nullptr : found->second;
}

void ProcessMap::erasePendingStart(std::uint32_t pid) {
  RenewableMutexLock lock(&pendingLock_);
  pending_.erase(pid);
}

void ProcessMap::retryPendingStarts() {
  std::vector<ProcessRef> waiting;
  {
    RenewableMutexLock lock(&pendingLock_);
    for (const auto& [pid, process] : pending_) waiting.push_back(process);
  }
  // Read again with no lock held: the reading may wait on the name service for the user,
  // and a start that comes meanwhile must not wait for it. Only this thread reads them.
  std::vector<ProcessRef> ready;
  std::vector<ProcessRef> gone;
  for (const ProcessRef& process : waiting) {
    process->reread();
    if (process->executable() == Process::kLost ||
        (Process::isUnknown(process->executable()) && !process->isRunning())) {
      gone.push_back(process);
    } else if (!Process::isUnknown(process->executable())) {
      ready.push_back(process);
    }
  }
  // Those an end took out of the waiting meanwhile are done with.
  auto stillWaiting = [this](const ProcessRef& process) {
    RenewableMutexLock lock(&pendingLock_);
    auto found = pending_.find(process->pid());
    if (found == pending_.end() || found->second != process) return false;
    pending_.erase(found);
    return true;
  };
  // Logged with the pending-start lock free: logging takes the map lock first.
  for (const ProcessRef& process : ready) {
    if (stillWaiting(process)) logProcess(process);
  }
  for (const ProcessRef& process : gone) {
    if (stillWaiting(process)) logLostStart(process);
  }
}

void ProcessMap::logLostStart(const ProcessRef& process) {
  // Nothing will ever end a process that is gone: it is recorded once, as ended now, and
  // never enters the map.
  process->markLost();
  std::string product = exeFinder_.find(process->executable());
  if (ExeFinder::ignores(product)) return;
  process->setProductName(product);
  // Its end may have come meanwhile, with the time and status it ended with.
  if (!takeWaitingEnd(process)) process->setEndTime(std::max(process->startTime(), DateTime()));
  logger_.debug(3, "logLostStart: Process %i ended before its executable could be read.",
                process->pid());
  logProcessData(process);
}

void ProcessMap::pruneEndedProcesses(const DateTime& now) {
  RenewableMutexLock lock(&endedLock_);
  // Oldest first, in the order they came: an idle second looks at one entry at most. An end
  // dated later than one after it only waits a little longer.
  while (!endedOrder_.empty() &&
         (now - endedOrder_.front()->endTime()).getSeconds() > kEndedProcessMaxAgeSeconds) {
    logger_.debug(3,
                  "pruneEndedProcesses: Dropped the stop-event of process %i; no start came "
                  "for it.",
                  endedOrder_.front()->pid());
    dropOldestEnded();
  }
}

}  // namespace Vantor
