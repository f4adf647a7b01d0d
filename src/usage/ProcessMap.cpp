#include "usage/ProcessMap.h"

#include <chrono>
#include <string_view>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "foundation/FileUtils.h"
#include "foundation/TimeSpan.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Thread.h"
#include "usage/RecordFields.h"

namespace Vantor {

namespace {

// How long a caller waits for the map, and again after a renewal of its lock.
constexpr auto kHoldPatience = std::chrono::seconds(5);
// A hold at least this long is logged.
constexpr auto kLongHold = std::chrono::milliseconds(10);

// Whether a process started at a start: by the moments to the nanosecond where both are known,
// else by the stamps (ticks, which two processes of one pid may share); a start not known
// either way may be this process's.
bool startedAt(const Process& process, std::uint64_t stamp, std::uint64_t exact) {
  if (process.exactStart() != 0 && exact != 0) return process.exactStart() == exact;
  return process.startStamp() == 0 || stamp == 0 || process.startStamp() == stamp;
}

// Whether a start is the one of the process an entry meters: the same start, or, for a
// start that was gone before it could be opened, the same program.
bool sameProcess(const Process& entry, const Process& start) {
  if (entry.exactStart() != 0 && start.exactStart() != 0) {
    return entry.exactStart() == start.exactStart();
  }
  if (entry.startStamp() != 0 && start.startStamp() != 0) {
    return entry.startStamp() == start.startStamp();
  }
  return entry.executable() == start.executable();
}

// Whether an entry meters the process a listing names by its start stamp: the same stamp, or
// an entry never opened, which has no stamp of its own to tell.
bool meters(const Process& entry, std::uint64_t listedStamp) {
  return entry.startStamp() == 0 || entry.startStamp() == listedStamp;
}

// A start of the process an entry meters, running another program: the process went on to
// run it (an event source sees each). Only paths read from the system can tell.
bool replacesProgram(const Process& entry, const Process& start) {
  bool sameProcess = start.startStamp() == 0 || meters(entry, start.startStamp());
  return sameProcess && entry.executable() != start.executable() &&
         FileUtils::isAbsolute(entry.executable()) && FileUtils::isAbsolute(start.executable());
}

// Whether a start that replaces the entry's program names one the process has already left:
// the entry's program was read from the process, and both read the mark of the program it
// runs now, so the start's event is older than the reading (a listing read the process
// between its two programs' events).
bool leftAlready(const Process& entry, const Process& start) {
  return !entry.executableFromEvent() && start.programMark() != 0 &&
         start.programMark() == entry.programMark();
}

}  // namespace

ProcessMap::Hold::~Hold() {
  if (!held_) return;
  auto held = std::chrono::steady_clock::now() - since_;
  // A holder given up for dead whose lock was renewed meanwhile has nothing left to release.
  if (!map_.mapLock_.relax()) map_.logger_.debug(1, "**RELAX FAILED %s", caller_);
  if (held >= kLongHold) {
    map_.logger_.debug(1, "%s held the process map for %i ms.", caller_,
                       static_cast<std::int64_t>(
                           std::chrono::duration_cast<std::chrono::milliseconds>(held).count()));
  }
}

bool ProcessMap::Hold::take(const char* caller) {
  return takeWithin(caller, std::chrono::duration_cast<std::chrono::milliseconds>(kHoldPatience));
}

bool ProcessMap::Hold::takeWithin(const char* caller, std::chrono::milliseconds patience) {
  caller_ = caller;
  held_ = map_.mapLock_.takeWithin(
      patience, [this](std::uint32_t owner) { return map_.env_.threadExists(owner); });
  since_ = std::chrono::steady_clock::now();
  if (!held_) {
    map_.logger_.debug(1, "%s: The process map could not be had; thread %i holds it.", caller,
                       map_.mapLock_.owner());
  }
  return held_;
}

ProcessMap::ProcessMap(platform::Env& env, const LoggerUnit& logger, ExeFinder& exeFinder,
                       const Accounts& accounts, const PrimeTime& primeTime, DataStreams& streams,
                       InventoryOps::StaticInfo facts)
    : env_(env),
      logger_(logger),
      exeFinder_(exeFinder),
      accounts_(accounts),
      primeTime_(primeTime),
      streams_(streams),
      facts_(recordFacts(std::move(facts))),
      moduleLog_(logger, primeTime, streams, facts_),
      perfMonLog_(logger, accounts, primeTime, streams, facts_, env.systemFacts()) {}

ProcessMap::~ProcessMap() { clear(); }

void ProcessMap::logProcess(const ProcessRef& event) {
  logger_.debug(5, "Logging process %i", event->pid());
  switch (event->state()) {
    case ProcessState::Started:
      logStartProcess(event);
      break;
    case ProcessState::Ended:
      logEndProcess(event);
      break;
    default:
      break;
  }
}

void ProcessMap::logStartProcess(const ProcessRef& process) {
  std::uint32_t pid = process->pid();
  logger_.debug(5, "Logging start of process %i", pid);
  if (pid > 9 && Process::isUnknown(process->executable())) {
    logger_.debug(4, "logStartProcess: Trying to get data for unknown process...");
    process->reread();
    if (Process::isUnknown(process->executable())) {
      logger_.debug(4,
                    "   logStartProcess: Failed to get executable - will not log until we get "
                    "it...");
    } else {
      logger_.debug(4, "   logStartProcess: Got executable=\"%s\".", process->executable());
    }
  }
  if (pid > 9 && Process::isUnknown(process->executable())) {
    logger_.debug(3, "   logStartProcess: Have no process info for %i - will try again later", pid);
    RenewableMutexLock lock(&pendingLock_);
    pending_.emplace(pid, process);
    return;
  }
  std::string product = exeFinder_.find(process->executable());
  if (ExeFinder::ignores(product)) {
    logger_.debug(5, "logStartProcess: Ignoring this process.");
    return;
  }
  process->setProductName(product);
  logger_.debug(3, "logStartProcess: Application \"%s\" (pid=%i) just started.", product, pid);
  DateTime now;
  if (process->startTime() > now) {
    logger_.warning(26, product, pid);
    process->setStartTime(now);
  }
  // Starts the module table: what it lists now was loaded from the start.
  if (moduleLog_.enabled()) process->updateModules();
  if (!addProcess(process)) logger_.warning(23, "logStartProcess");
}

bool ProcessMap::takeWaitingEnd(const ProcessRef& process) {
  std::uint32_t pid = process->pid();
  ProcessRef stop = endedProcess(pid);
  if (!stop) return false;
  {
    RenewableMutexLock lock(&endedLock_);
    removeProcessFromEndedProcessMap(pid);
  }
  // An end event older than this start, or of another start, belongs to an earlier process of
  // the same pid.
  if (stop->endTime() < process->startTime() ||
      !startedAt(*stop, process->startStamp(), process->exactStart())) {
    logger_.debug(1,
                  "addProcess: Dropping stale stop-event for %i: it ended at %s, before this "
                  "start.",
                  pid, stop->endTime().toString(false, false, true));
    return false;
  }
  logger_.debug(1, "addProcess: Pending stop-event for %i (%s). Will log won't add to map.", pid,
                process->executable());
  process->setEndTime(stop->endTime());
  process->copyExitCode(*stop);
  return true;
}

bool ProcessMap::addProcess(const ProcessRef& process) {
  std::uint32_t pid = process->pid();
  if (takeWaitingEnd(process)) {
    logModules(process, false);
    logProcessData(process);
    return true;
  }
  Hold hold(*this);
  if (!hold.take("addProcess")) return false;
  auto [slot, inserted] = processes_.emplace(pid, process);
  if (inserted) {
    if (endedAlready(*process)) {
      logger_.debug(4, "addProcess: Process %i has been logged to its end already.", pid);
      processes_.erase(slot);
    } else {
      perfMonLog_.registerIfMeasured(process, process->startTime().getValue());
      logger_.debug(5, "Added process %i", pid);
    }
    return true;
  }
  ProcessRef old = slot->second;
  if (old == process) return true;
  // The pid is unique among running processes: the entry's process has ended unseen, unless
  // this start is the entry's own, reported twice (by a listing and by an event).
  bool replaced = replacesProgram(*old, *process);
  if (replaced && leftAlready(*old, *process)) {
    // It ran until the program the entry meters began: recorded alone, and the process did
    // not end there.
    logger_.debug(3, "addProcess: Process %i had left \"%s\" when its start came.", pid,
                  process->executable());
    process->setExitCode(Process::kStillActive);
    process->setEndTime(process->startTime());
    logProcessData(process);
    return true;
  }
  // An entry never opened was gone when its start was handled.
  bool endedUnseen =
      !replaced && !sameProcess(*old, *process) && (!old->hasHandle() || !old->isRunning());
  if (!endedUnseen && !replaced) return true;
  if (endedUnseen) {
    logger_.warning(25, pid);
  } else {
    // The program was replaced; the process did not end, whatever it has done since.
    old->setExitCode(Process::kStillActive);
  }
  logger_.debug(5, "Ending logging of application \"%s\"...", old->productName());
  old->setEndTime(std::max(old->startTime(), process->startTime()));
  if (takeEndTime(old->endTime(), old)) finishEntry(old);
  processes_[pid] = process;
  perfMonLog_.registerIfMeasured(process, process->startTime().getValue());
  logger_.debug(5, "Added process %i", pid);
  return true;
}

ProcessRef ProcessMap::entryOf(const char* caller, const Process& event) const {
  auto found = processes_.find(event.pid());
  if (found != processes_.end()) return found->second;
  logger_.debug(5, "%s: Unable to locate process \"%s\" (pid=%i)in process map.", caller,
                event.executable(), event.pid());
  return nullptr;
}

bool ProcessMap::takeEndTime(DateTime end, const ProcessRef& entry) {
  std::uint32_t pid = entry->pid();
  DateTime now;
  if (end > now) {
    logger_.warning(27, entry->productName(), pid);
    end = now;
  }
  entry->setEndTime(end);
  erasePendingStart(pid);
  if (entry->startTime() > entry->endTime() && entry->resumed()) {
    // It ended before the last delivery, whose record counted it up to then, and its end came
    // late: it ends there, and its last record carries its exit status.
    logger_.debug(3, "   Process %i ended at %s, before the last delivery: it ends there.", pid,
                  entry->endTime().toString(false, false, true));
    entry->setEndTime(entry->startTime());
  }
  if (entry->startTime() > entry->endTime()) {
    logger_.error(28, entry->productName(), pid, entry->startTime().toString(false, false, true),
                  entry->endTime().toString(false, false, true));
    processes_.erase(pid);
    return false;
  }
  return true;
}

void ProcessMap::finishEntry(const ProcessRef& entry) {
  // Ended: its module table reads as empty, so that every module it had is recorded.
  entry->setState(ProcessState::Ended);
  logModules(entry, false);
  logPerformance(entry, 0);
  logProcessData(entry);
  auto found = processes_.find(entry->pid());
  if (found != processes_.end() && found->second == entry) processes_.erase(found);
  rememberEnded(*entry);
}

void ProcessMap::logEndProcess(const ProcessRef& event) {
  std::uint32_t pid = event->pid();
  logger_.debug(5, "Logging end of process %i", pid);
  Hold hold(*this);
  if (!hold.take("logEndProcess")) {
    logger_.warning(23, "logEndProcess");
    return;
  }
  ProcessRef entry = entryOf("logEndProcess", *event);
  if (entry && !startedAt(*entry, event->startStamp(), event->exactStart())) {
    // The end names its process by its start: the entry is another process of the pid, which
    // this end must not end. A repair finds an entry that ended unseen.
    logger_.debug(3, "logEndProcess: The end of pid %i is of another process than the map's.", pid);
    return;
  }
  if (!entry) {
    // No start of it will come: it never ran a program of its own.
    if (event->startUnseen()) return;
    RenewableMutexLock lock(&endedLock_);
    addProcessToEndedProcessMap(event);
    return;
  }
  logger_.debug(3, "logEndProcess: Application \"%s\" (pid=%i) just ended.", entry->productName(),
                pid);
  entry->copyExitCode(*event);
  if (takeEndTime(event->endTime(), entry)) finishEntry(entry);
}

std::optional<DateTime> ProcessMap::endListed(const Process& change, const char* caller) {
  Hold hold(*this);
  if (!hold.take(caller)) {
    logger_.warning(23, caller);
    return std::nullopt;
  }
  ProcessRef entry = entryOf(caller, change);
  if (!entry) return std::nullopt;
  if (!meters(*entry, change.startStamp())) {
    logger_.debug(5, "%s: The process map holds a later process with pid %i.", caller,
                  change.pid());
    return std::nullopt;
  }
  // Ended for the map, also when its pid goes on with another program: no longer running.
  entry->keepExitCode();
  entry->invalidate();
  entry->copyExitCode(change);
  // The estimate of half an interval may lie before the entry's interval began (a dump
  // restarted it), or before a performance record that counted it running: it still ran
  // until then.
  DateTime end = std::max(change.endTime(), entry->startTime());
  end = std::max(end, DateTime(entry->measuredUntil()));
  if (takeEndTime(end, entry)) finishEntry(entry);
  return end;
}

bool ProcessMap::wantsCompletion(const platform::ProcessId& id) {
  Hold hold(*this);
  if (!hold.take("procPoll")) return false;
  auto found = processes_.find(id.pid);
  return found != processes_.end() && Process::isUnknown(found->second->executable()) &&
         meters(*found->second, id.startStamp);
}

void ProcessMap::complete(const platform::ProcessId& id, const Process& read) {
  Hold hold(*this);
  if (!hold.take("procPoll")) return;
  auto found = processes_.find(id.pid);
  if (found == processes_.end() || !Process::isUnknown(found->second->executable()) ||
      !meters(*found->second, id.startStamp)) {
    return;
  }
  logger_.debug(2, "procPoll: Application \"%s\" (pid=%i) has been completed.", read.productName(),
                id.pid);
  found->second->copyInfo(read);
}

bool ProcessMap::contains(std::uint32_t pid) const {
  RenewableMutexLock lock(&mapLock_);
  return processes_.count(pid) != 0;
}

bool ProcessMap::logInterim(const ProcessRef& entry, const DateTime& end) {
  std::uint32_t pid = entry->pid();
  logger_.debug(3, "logInterim: Application \"%s\" (pid=%i) was found and is in use.",
                entry->productName(), pid);
  if (!takeEndTime(end, entry)) return false;
  if (ProcessRef stop = endedProcess(pid)) {
    logger_.debug(1, "logInterim: Pending stop-event found for %i", pid);
    {
      RenewableMutexLock lock(&endedLock_);
      removeProcessFromEndedProcessMap(pid);
    }
    if (!entry->isRunning()) {
      entry->setEndTime(stop->endTime());
      entry->copyExitCode(*stop);
      finishEntry(entry);
      return false;
    }
  }
  logModules(entry, true);
  logProcessData(entry, true);
  return true;
}

std::string ProcessMap::usageRecord(const ProcessRef& entry, bool interim) {
  ExecutableFields executable = executableFields(entry->executable());
  std::uint32_t exitCode = interim ? Process::kStillActive : entry->getExitCode();
  std::string record;
  record.reserve(256);
  record += "1:";
  record += std::to_string(entry->startTime().getValue());
  record += ":31";
  auto add = [&record](std::string_view field) {
    record += ":0:";
    record += field;
  };
  add(facts_.domain);
  add(facts_.computerName);
  add(facts_.architecture);
  add(facts_.osName);
  add(executable.file);
  add(reportNameField(entry->productName()));
  add(executable.directory);
  add(PrimeTime::className(primeTime_.classify(entry->startTime())));
  add(reportNameField(accounts_.mapUser(entry->fullUserName())));
  add(exitCode == Process::kStillActive ? "none" : std::to_string(exitCode));
  std::int64_t duration =
      static_cast<std::int64_t>(entry->endTime().getValue()) - entry->startTime().getValue();
  if (duration < 0) {
    logger_.warning(29, entry->productName(), entry->pid());
    duration = 1;
  }
  record += entry->firstRecordWritten() ? "\n0:" : "\n1:";
  entry->setFirstRecordWritten(true);
  return record + std::to_string(duration);
}

void ProcessMap::logModules(const ProcessRef& entry, bool running) {
  if (!moduleLog_.enabled()) return;
  logger_.debug(5, "   Getting modules for \"%s\" (pid=%i)...", entry->productName(), entry->pid());
  std::vector<ModuleRecord> records;
  if (running) {
    records = entry->restartModules(entry->endTime().getValue());
  } else {
    records = entry->updateModules();
    // Seen gone only now, perhaps long after the end (which a poll dates back): no module
    // outlives its process.
    std::int64_t end = entry->endTime().getValue();
    for (ModuleRecord& record : records) {
      record.firstSeen = std::min(record.firstSeen, end);
      record.lastSeen = std::max(record.firstSeen, std::min(record.lastSeen, end));
    }
  }
  for (const ModuleRecord& record : records) moduleLog_.writeModuleRecord(*entry, record);
}

void ProcessMap::logPerformance(const ProcessRef& entry, std::int64_t now) {
  if (!perfMonLog_.enabled() || !entry->measured()) return;
  try {
    perfMonLog_.logPerfMonData(*entry, now);
  } catch (const std::exception&) {
    logger_.debug(1, "Failed to log performance data!");
  }
}

void ProcessMap::logProcessData(const ProcessRef& entry, bool interim) {
  logger_.debug(4, "logProcessData: Writing \"%s\" (%i) to file...", entry->productName(),
                entry->pid());
  std::string record = usageRecord(entry, interim);
  std::shared_ptr<LogFile> stream = streams_.getLogFile("process");
  if (!stream) {
    logger_.critical(4, "process");
    return;
  }
  stream->writeRecord(record);
}

void ProcessMap::endVanished(const RepairBound& startedBefore) {
  Hold hold(*this);
  if (!hold.take("endVanished")) return;
  std::vector<ProcessRef> gone;
  for (const auto& [pid, entry] : processes_) {
    if (startedBefore.excludes(*entry)) continue;
    if (entry->hasEnded()) gone.push_back(entry);
  }
  DateTime now;
  for (const ProcessRef& entry : gone) {
    logger_.debug(3, "endVanished: Application \"%s\" (pid=%i) ended unseen.", entry->productName(),
                  entry->pid());
    entry->setEndTime(std::max(now, entry->startTime()));
    finishEntry(entry);
  }
}

void ProcessMap::rememberEnded(const Process& process) {
  constexpr std::size_t kRemembered = 8192;
  if (recentlyEnded_
          .insert_or_assign(process.pid(), EndedProgram{process.startStamp(), process.exactStart(),
                                                        process.executable()})
          .second) {
    recentlyEndedOrder_.push_back(process.pid());
  }
  if (recentlyEndedOrder_.size() > kRemembered) {
    recentlyEnded_.erase(recentlyEndedOrder_.front());
    recentlyEndedOrder_.pop_front();
  }
}

bool ProcessMap::endedAlready(const Process& process) const {
  auto ended = recentlyEnded_.find(process.pid());
  // Only a start read from a listing can be one that ended since.
  if (ended == recentlyEnded_.end() || process.startStamp() == 0) return false;
  // The same process running another program is that program's start; one that has ended
  // (its program then reads as the kernel's short name for it) is the one that ended.
  if (ended->second.startStamp != 0) {
    bool sameStart = ended->second.exactStart != 0 && process.exactStart() != 0
                         ? ended->second.exactStart == process.exactStart()
                         : ended->second.startStamp == process.startStamp();
    return sameStart && (ended->second.executable == process.executable() || !process.isRunning());
  }
  // The ended one was never opened: the same process if this one is gone too.
  return process.hasHandle() && !process.isRunning();
}

void ProcessMap::dumpAll() {
  logger_.debug(1, "Dumping processes...");
  // The modules are looked at before the map is taken: reading mappings takes long.
  if (moduleLog_.enabled()) refreshModules("dumpAll");
  Hold hold(*this);
  if (!hold.take("dumpAll")) {
    logger_.warning(23, "dumpAll");
    return;
  }
  DateTime start;
  // The final delivery: nothing will record what remains later.
  bool final = quitFlag.load();
  // Logging may remove entries (a start after its end): walk a copy of the keys' entries.
  Map entries = processes_;
  for (const auto& [pid, entry] : entries) {
    // Its end is on its way (an event, or the next poll) and gives its one record, with its
    // status: an interim record now would count it twice, the first time as still running.
    if (!final && entry->hasEnded()) {
      logger_.debug(4, "dumpAll: Process %i has ended; its end will record it.", pid);
      continue;
    }
    logger_.debug(5, "Ending logging of application \"%s\"...", entry->productName());
    if (logInterim(entry, start)) entry->resumeAt(start);
  }
  DateTime finish;
  logger_.debug(1, "All processes has now been dumped. It took %s time.",
                (finish - start).toString());
}

void ProcessMap::renewIfOwnedBy(std::uint32_t threadId) {
  // A thread counted killed may still be inside the map: only a dead holder loses the lock.
  if (mapLock_.isLocked() && mapLock_.owner() == threadId && !env_.threadExists(threadId)) {
    mapLock_.renew();
  }
}

void ProcessMap::clear() {
  {
    Hold hold(*this);
    if (hold.take("clear")) processes_.clear();
  }
  RenewableMutexLock ended(&endedLock_);
  ended_.clear();
  endedOrder_.clear();
  RenewableMutexLock pending(&pendingLock_);
  pending_.clear();
}

std::size_t ProcessMap::size() const {
  RenewableMutexLock lock(&mapLock_);
  return processes_.size();
}

std::optional<std::size_t> ProcessMap::sizeWithin(std::chrono::milliseconds patience) const {
  Hold hold(*this);
  if (!hold.takeWithin("sizeWithin", patience)) return std::nullopt;
  return processes_.size();
}

std::size_t ProcessMap::endedCount() const {
  RenewableMutexLock lock(&endedLock_);
  return ended_.size();
}

std::size_t ProcessMap::pendingCount() const {
  RenewableMutexLock lock(&pendingLock_);
  return pending_.size();
}

}  // namespace Vantor
