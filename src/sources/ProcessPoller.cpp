#include "sources/ProcessPoller.h"

#include <algorithm>
#include <map>
#include <utility>

#include "sources/PeriodicWorker.h"

namespace Vantor {

ProcessPoller::ProcessPoller(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap,
                             ExeFinder& exeFinder)
    : env_(env), logger_(logger), processMap_(processMap), exeFinder_(exeFinder), procPoll_(env) {
  procPoll_.setLogger(&logger_);
}

void ProcessPoller::configure(const TimeSpan& interval, EventSource source, bool pollingEnabled) {
  interval_ = interval;
  source_ = source;
  pollingEnabled_ = pollingEnabled;
}

bool ProcessPoller::prepare(ThreadTable& threads) {
  ThreadEntry* row =
      prepareWorker(threads, logger_, "ProcessPoller", TF_REPORTS,
                    [this](ThreadEntry& entry) { return processPollerThread(entry); });
  if (row != nullptr) row->wakeUp = wake_;
  return row != nullptr;
}

std::uint32_t ProcessPoller::processPollerThread(ThreadEntry& row) {
  return runPeriodicWorker(
      row, logger_, env_.clock(),
      {interval_,
       [this] {
         if (std::optional<RepairBound> bound = takeFullPollRequest()) {
           repairLostEvents(*bound);
         }
       },
       [this] { pollProcesses(false); }, "ERROR while running procPoller thread"});
}

void ProcessPoller::pollProcesses(bool force, std::uint64_t startedBefore) {
  if (force || !firstFullPollDone_.load() || source_ == EventSource::kNone) {
    fullPoll(force ? startedBefore : 0);
  } else {
    completionPass();
  }
}

void ProcessPoller::requestFullPoll(const RepairBound& startedBefore) {
  {
    platform::MutexLock lock(&requestMutex_);
    // Two bounds give the later one; none given makes the repair whole.
    if (!requestedRepair_) {
      requestedRepair_ = startedBefore;
    } else if (requestedRepair_->bounded()) {
      requestedRepair_ =
          startedBefore.bounded() ? requestedRepair_->orLater(startedBefore) : RepairBound{};
    }
  }
  wake_->set();
}

std::optional<RepairBound> ProcessPoller::takeFullPollRequest() {
  platform::MutexLock lock(&requestMutex_);
  return std::exchange(requestedRepair_, std::nullopt);
}

void ProcessPoller::repairLostEvents(const RepairBound& startedBefore) {
  fullPoll(startedBefore.stamp);
  processMap_.endVanished(startedBefore);
  repairsMade_.fetch_add(1);
}

void ProcessPoller::fullPoll(std::uint64_t startedBefore) {
  firstFullPollDone_.store(true);
  if (!procPoll_.poll()) {
    logger_.debug(1, "Failed to poll process table.");
    return;
  }
  applyFullPoll(startedBefore);
  fullPollsDone_.fetch_add(1);
}

void ProcessPoller::applyFullPoll(std::uint64_t startedBefore) {
  std::vector<ProcessRef> changes;
  // Regular polls date a change half an interval back; without them (events do the work) a
  // poll dates what it finds at the poll.
  TimeSpan offset(pollingEnabled_ ? interval_.getSeconds() / 2 : 0);
  procPoll_.getPollData(changes, offset);
  if (changes.empty()) return;
  std::int64_t count = static_cast<std::int64_t>(changes.size());
  logger_.debug(5, "Polling process table. Got %i changes since last time.", count);
  std::int64_t number = 0;
  // Where a program ended that another program of its process follows (the ends come first).
  std::map<platform::ProcessId, DateTime> replacedAt;
  for (const ProcessRef& change : changes) {
    logger_.debug(5, "   Updating process %i/%i, PID=%i...", ++number, count, change->pid());
    if (change->state() == ProcessState::Started) {
      auto replaced = replacedAt.find({change->pid(), change->startStamp()});
      if (replaced != replacedAt.end()) {
        change->setStartTime(std::max(change->startTime(), replaced->second));
      }
      if (startedBefore != 0 && change->startStamp() > startedBefore) {
        logger_.debug(5, "      Process started after the events began: theirs to tell.");
        // Unless the events lose it: a repair must then find it as new.
        procPoll_.forget({change->pid(), change->startStamp()});
        continue;
      }
      logger_.debug(5, "      Process started.");
      processMap_.logProcess(change);
      continue;
    }
    logger_.debug(5, "      Process ended.");
    std::optional<DateTime> end = processMap_.endListed(*change, "procPoll");
    if (end && change->getExitCode() == Process::kStillActive) {
      replacedAt[{change->pid(), change->startStamp()}] = *end;
    }
  }
}

void ProcessPoller::completionPass() {
  std::vector<platform::ListedProcess> scanned;
  if (!procPoll_.scan(scanned)) {
    logger_.debug(1, "Failed to poll process table.");
    return;
  }
  for (const platform::ListedProcess& listed : scanned) {
    const platform::ProcessId& id = listed.id;
    // Only the map's processes with an unknown executable are read again, and only their
    // own process, not a later one of the same pid.
    if (!processMap_.wantsCompletion(id)) continue;
    // Read with the map free: the reading may wait on the name service for the user.
    ProcessRef process = procPoll_.read(listed);
    if (!process || Process::isUnknown(process->executable())) continue;
    std::string product = exeFinder_.find(process->executable());
    if (ExeFinder::ignores(product)) {
      logger_.debug(5, "procPoll: Ignoring this process.");
      continue;
    }
    process->setProductName(product);
    processMap_.complete(id, *process);
  }
}

}  // namespace Vantor
