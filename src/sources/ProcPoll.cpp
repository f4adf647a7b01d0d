#include "sources/ProcPoll.h"

#include "platform/ProcessTable.h"

namespace Vantor {

ProcPoll::~ProcPoll() { debug(1, "ProcPoll object ended."); }

void ProcPoll::setLogger(const LoggerUnit* logger) {
  logger_ = logger;
  debug(1, "ProcPoll object has access to a logger!");
}

bool ProcPoll::scan(std::vector<ProcessRef>& processes) {
  debug(4, "ProcPoll.scan: Scanning processes...");
  processes.clear();
  debug(5, "   ProcPoll.scan: Enumerating processes...");
  // The list grows as needed: no fixed-size array to outgrow.
  std::vector<std::uint32_t> pids;
  if (!platform::listProcesses(&pids)) return false;
  debug(5, "   ProcPoll.scan: Enumerated %i process(es). Extracting information...",
        static_cast<std::int64_t>(pids.size()));
  processes.reserve(pids.size());
  for (std::uint32_t pid : pids) {
    if (pid == 0) continue;
    debug(5, "      ProcPoll.scan: Creating object for process %i...", pid);
    processes.push_back(std::make_shared<Process>(pid, nullptr, true));
  }
  debug(4, "   ProcPoll.scan: Got %i process(es).", static_cast<std::int64_t>(processes.size()));
  return true;
}

bool ProcPoll::poll() {
  debug(4, "ProcPoll.poll: Polling processes...");
  std::vector<ProcessRef> processes;
  if (!scan(processes)) return false;
  addToLatest(std::move(processes));
  debug(4, "   ProcPoll.poll: Done.");
  return true;
}

void ProcPoll::addToLatest(std::vector<ProcessRef> processes) {
  for (ProcessRef& process : processes) {
    std::uint32_t pid = process->pid();
    latest_.emplace(pid, std::move(process));
  }
}

void ProcPoll::getPollData(std::vector<ProcessRef>& changes, const TimeSpan& offset) {
  debug(4, "ProcPoll.getPollData: Getting changes between the two last polls...");
  changes.clear();
  DateTime when = DateTime() - offset;
  for (const auto& [pid, process] : previous_) {
    if (latest_.count(pid) != 0) continue;
    process->setState(ProcessState::Ended);
    process->setEndTime(when);
    changes.push_back(process);
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) ended.",
        static_cast<std::int64_t>(changes.size()));
  std::size_t ended = changes.size();
  for (const auto& [pid, process] : latest_) {
    if (previous_.count(pid) != 0) continue;
    process->setState(ProcessState::Started);
    process->setStartTime(when);
    changes.push_back(process);
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) started.",
        static_cast<std::int64_t>(changes.size() - ended));
  if (!changes.empty()) previous_ = latest_;
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
