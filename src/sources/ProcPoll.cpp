#include "sources/ProcPoll.h"

namespace Vantor {

ProcessRef ProcPoll::read(const platform::ListedProcess& listed, AccountNames* names) {
  if (reader_) return reader_(listed.id, names);
  platform::ProcessHandle handle;
  // Gone before it could be opened: nothing to read, nothing to record.
  if (!table_->open(listed.id, &handle)) return nullptr;
  auto process = std::make_shared<Process>(std::move(handle), names);
  // Listed running but gone before its executable could be read: nothing is known of it
  // either. One found ended is kept: the process map records it once, as lost.
  if (!listed.ended && Process::isUnknown(process->executable()) && !process->isRunning()) {
    return nullptr;
  }
  return process;
}

ProcPoll::ProcPoll(std::unique_ptr<platform::ProcessTable> table, Reader reader)
    : table_(std::move(table)), reader_(std::move(reader)) {}

ProcPoll::~ProcPoll() { debug(1, "ProcPoll object ended."); }

void ProcPoll::setLogger(const LoggerUnit* logger) {
  logger_ = logger;
  debug(1, "ProcPoll object has access to a logger!");
}

bool ProcPoll::scan(std::vector<platform::ListedProcess>& processes) {
  debug(4, "ProcPoll.scan: Scanning processes...");
  processes.clear();
  debug(5, "   ProcPoll.scan: Enumerating processes...");
  // The list grows as needed: no fixed-size array to outgrow.
  if (!table_->list(&processes)) return false;
  debug(4, "   ProcPoll.scan: Got %i process(es).", static_cast<std::int64_t>(processes.size()));
  return true;
}

bool ProcPoll::poll() {
  debug(4, "ProcPoll.poll: Polling processes...");
  std::vector<platform::ListedProcess> processes;
  if (!scan(processes)) return false;
  for (const platform::ListedProcess& process : processes) {
    latest_.emplace(process.id, process.ended);
  }
  debug(4, "   ProcPoll.poll: Done.");
  return true;
}

void ProcPoll::getPollData(std::vector<ProcessRef>& changes, const TimeSpan& offset) {
  debug(4, "ProcPoll.getPollData: Getting changes between the two last polls...");
  changes.clear();
  DateTime when = DateTime() - offset;
  for (const auto& [id, endedBefore] : previous_) {
    auto now = latest_.find(id);
    if (endedBefore || (now != latest_.end() && !now->second)) continue;
    // An end is a fresh object: the process map's own entry is changed only under its lock.
    auto ended = std::make_shared<Process>(id.pid, nullptr, false, id.startStamp);
    ended->setEndTime(when);
    changes.push_back(std::move(ended));
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) ended.",
        static_cast<std::int64_t>(changes.size()));
  std::size_t ended = changes.size();
  AccountNames names;
  for (auto entry = latest_.begin(); entry != latest_.end();) {
    const platform::ProcessId& id = entry->first;
    if (previous_.count(id) != 0) {
      ++entry;
      continue;
    }
    debug(5, "      ProcPoll.scan: Creating object for process %i...", id.pid);
    // A process found ended is still started here: it cannot be read, and the process map
    // records it once as lost.
    ProcessRef started = read({id, entry->second}, &names);
    if (!started) {
      debug(5, "      ProcPoll.getPollData: Process %i is gone already.", id.pid);
      entry = latest_.erase(entry);
      continue;
    }
    started->setState(ProcessState::Started);
    started->setStartTime(when);
    changes.push_back(std::move(started));
    ++entry;
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) started.",
        static_cast<std::int64_t>(changes.size() - ended));
  if (!changes.empty()) previous_ = std::move(latest_);
  latest_.clear();
  debug(4, "   ProcPoll.getPollData: There where %i changed process(es).",
        static_cast<std::int64_t>(changes.size()));
}

void ProcPoll::clear() {
  debug(1, "ProcPoll: Clearing data...");
  previous_.clear();
  latest_.clear();
  debug(1, "   ProcPoll: Data cleared.");
}

}  // namespace Vantor
