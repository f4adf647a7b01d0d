#include "sources/ProcPoll.h"

namespace Vantor {

ProcessRef ProcPoll::read(const platform::ListedProcess& listed, AccountNames* names) {
  if (reader_) return reader_(listed.id, names);
  std::unique_ptr<platform::ProcessHandle> handle = table_->open(listed.id);
  // Gone before it could be opened: nothing to read, nothing to record.
  if (!handle) return nullptr;
  auto process = std::make_shared<Process>(env_, std::move(handle), names);
  // Listed running but gone before its executable could be read: nothing is known of it
  // either. One found ended is kept: the process map records it once, as lost.
  if (!listed.ended && Process::isUnknown(process->executable()) && !process->isRunning()) {
    return nullptr;
  }
  return process;
}

ProcPoll::ProcPoll(platform::Env& env, std::unique_ptr<platform::ProcessTable> table, Reader reader)
    : env_(env),
      table_(table ? std::move(table) : env.newProcessTable()),
      reader_(std::move(reader)) {}

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
  for (platform::ListedProcess& process : processes) {
    // Once a fork, a fork while its program stays: its parent may end before it.
    auto before = previous_.find(process.id);
    // Its program first seen inside its exit (a fork that started a program and ended since
    // the last listing counts too): nothing can be read of it any more, and it may vanish
    // before the next listing. One that waits for its parent is found then, as ended.
    if (process.inExit && (before == previous_.end() || before->second.forkOnly)) continue;
    bool forkOnly = process.forkOfParent || (before != previous_.end() && before->second.forkOnly &&
                                             before->second.program == process.program);
    latest_.emplace(process.id, Seen{process.ended, process.program, "", forkOnly});
  }
  debug(4, "   ProcPoll.poll: Done.");
  return true;
}

std::set<platform::ProcessId> ProcPoll::findNewPrograms() {
  std::set<platform::ProcessId> renewed;
  for (auto& [id, seen] : latest_) {
    auto before = previous_.find(id);
    if (before == previous_.end()) continue;
    seen.executable = before->second.executable;
    if (seen.ended || before->second.ended || seen.program == before->second.program ||
        seen.forkOnly || before->second.forkOnly) {
      continue;
    }
    // A process may rename itself: only another executable is another program.
    ProcessRef now = read({id, false, seen.program}, nullptr);
    if (!now || Process::isUnknown(now->executable()) ||
        now->executable() == before->second.executable) {
      continue;
    }
    debug(5, "      ProcPoll.getPollData: Process %i now runs \"%s\".", id.pid, now->executable());
    renewed.insert(id);
  }
  return renewed;
}

void ProcPoll::getPollData(std::vector<ProcessRef>& changes, const TimeSpan& offset) {
  debug(4, "ProcPoll.getPollData: Getting changes between the two last polls...");
  changes.clear();
  DateTime when = DateTime() - offset;
  std::set<platform::ProcessId> renewed = findNewPrograms();
  for (const auto& [id, before] : previous_) {
    auto now = latest_.find(id);
    if (before.ended || before.forkOnly ||
        (now != latest_.end() && !now->second.ended && renewed.count(id) == 0)) {
      continue;
    }
    // An end is a fresh object: the process map's own entry is changed only under its lock.
    auto ended = std::make_shared<Process>(env_, id.pid, nullptr, false, id.startStamp);
    ended->setEndTime(when);
    // A program replaced by another ends there; the process goes on.
    if (renewed.count(id) != 0) ended->setExitCode(Process::kStillActive);
    changes.push_back(std::move(ended));
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) ended.",
        static_cast<std::int64_t>(changes.size()));
  std::size_t ended = changes.size();
  AccountNames names(env_);
  for (auto entry = latest_.begin(); entry != latest_.end();) {
    const platform::ProcessId& id = entry->first;
    auto before = previous_.find(id);
    // A fork that has started a program of its own since the last listing starts it now.
    bool seenBefore = before != previous_.end() && !before->second.forkOnly;
    if (entry->second.forkOnly || (seenBefore && renewed.count(id) == 0)) {
      ++entry;
      continue;
    }
    debug(5, "      ProcPoll.scan: Creating object for process %i...", id.pid);
    // A process found ended is still started here: it cannot be read, and the process map
    // records it once as lost.
    ProcessRef started = read({id, entry->second.ended, entry->second.program}, &names);
    if (!started) {
      debug(5, "      ProcPoll.getPollData: Process %i is gone already.", id.pid);
      entry = latest_.erase(entry);
      continue;
    }
    entry->second.executable = started->executable();
    started->setState(ProcessState::Started);
    started->setStartTime(when);
    changes.push_back(std::move(started));
    ++entry;
  }
  debug(5, "   ProcPoll.getPollData: %i process(es) started.",
        static_cast<std::int64_t>(changes.size() - ended));
  // The latest snapshot carries what is known of each process, also when nothing changed.
  previous_ = std::move(latest_);
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
