// The processes being metered, and the usage records written for them into the "process"
// data stream. Every source hands its start, end and in-use events to logProcess(); the map
// decides what they mean, keeps ended-before-started and not-yet-readable processes in two
// side maps, and writes one record per logged event.
//
// Lock order: the process-map lock (taken once, with a bounded wait, through a Hold), then
// the pending-start or the ended-process lock, then a data stream's lock.
#ifndef TARNWICK_USAGE_PROCESSMAP_H_
#define TARNWICK_USAGE_PROCESSMAP_H_

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>

#include "concurrency/RenewableMutex.h"
#include "foundation/InventoryOps.h"
#include "platform/Env.h"
#include "usage/Accounts.h"
#include "usage/DataStreams.h"
#include "usage/ExeFinder.h"
#include "usage/ModuleLog.h"
#include "usage/PerfMonLog.h"
#include "usage/PrimeTime.h"
#include "usage/Process.h"

namespace Vantor {

// Where a repair stops: the start stamp of a process started at its moment, and that moment
// for processes never opened (no stamp). An unbounded repair takes every process.
struct RepairBound {
  std::uint64_t stamp = 0;
  DateTime time;

  bool bounded() const { return stamp != 0; }
  // Whether a process started after the bound, and is left to the events.
  bool excludes(const Process& process) const {
    if (!bounded()) return false;
    return process.startStamp() != 0 ? process.startStamp() > stamp : process.startTime() >= time;
  }
  RepairBound orLater(const RepairBound& other) const {
    return other.stamp > stamp ? other : *this;
  }
};

class ProcessMap {
 public:
  // Entries of the ended-process map older than this are dropped by pruneEndedProcesses.
  static constexpr std::int32_t kEndedProcessMaxAgeSeconds = 600;
  // The ended-process map keeps no more than this many, the oldest going first.
  static constexpr std::size_t kMostEndedProcesses = 16384;

  // The facts are the static ones every record carries.
  ProcessMap(platform::Env& env, const LoggerUnit& logger, ExeFinder& exeFinder,
             const Accounts& accounts, const PrimeTime& primeTime, DataStreams& streams,
             InventoryOps::StaticInfo facts);
  ~ProcessMap();
  ProcessMap(const ProcessMap&) = delete;
  ProcessMap& operator=(const ProcessMap&) = delete;

  // Holds the map for a scope. take() waits a bounded time (following a renewal of the lock)
  // and says whether it got the map; the map's entries are touched only while it is held, and
  // it is let go when the hold goes out of scope. A hold of 10 ms or more is logged (debug 1):
  // every other event waits meanwhile.
  class SCOPED_LOCKABLE Hold {
   public:
    explicit Hold(const ProcessMap& map) LOCKS_EXCLUDED(map.mapLock_) : map_(map) {}
    ~Hold() UNLOCK_FUNCTION();
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

    // The caller's name labels the debug line of a failure.
    bool take(const char* caller) EXCLUSIVE_TRYLOCK_FUNCTION(true);
    // As take(), waiting at most patience.
    bool takeWithin(const char* caller, std::chrono::milliseconds patience)
        EXCLUSIVE_TRYLOCK_FUNCTION(true);

   private:
    const ProcessMap& map_;
    const char* caller_ = "";
    bool held_ = false;
    std::chrono::steady_clock::time_point since_;
  };

  // What a source saw: a start or an end, in the object's state.
  void logProcess(const ProcessRef& event) LOCKS_EXCLUDED(mapLock_);
  // A start the map takes as it is (read already): false when the map could not be had.
  bool addProcess(const ProcessRef& process) LOCKS_EXCLUDED(mapLock_);
  // A listing found the process gone (change: its pid, start stamp, end estimate and exit
  // code). Ends the map's entry if it is that process, and returns the end it was given; none
  // when the map holds no such process, or could not be had (warned as caller).
  std::optional<DateTime> endListed(const Process& change, const char* caller)
      LOCKS_EXCLUDED(mapLock_);
  // Whether the map's entry for a listed process lacks its executable, so that it is worth
  // reading again; and the reading, applied if the entry still lacks it.
  bool wantsCompletion(const platform::ProcessId& id) LOCKS_EXCLUDED(mapLock_);
  void complete(const platform::ProcessId& id, const Process& read) LOCKS_EXCLUDED(mapLock_);
  // Whether the map meters a process of this pid.
  bool contains(std::uint32_t pid) const LOCKS_EXCLUDED(mapLock_);

  // The "module" records of the map's processes; on when module logging is configured.
  ModuleLog& moduleLog() { return moduleLog_; }
  // Looks at the modules of every process and records those gone since the last look. The
  // mappings are read without the map's lock; only what changed is applied under it. The
  // caller names the pass in a warning when the map cannot be had.
  void refreshModules(const std::string& caller) LOCKS_EXCLUDED(mapLock_);
  // Records every module still loaded, up to now, and starts its stretch again: before a
  // reconfiguration, which may switch module records off.
  void restartModuleStretches() LOCKS_EXCLUDED(mapLock_);
  // Empties every module table (module records were switched off).
  void forgetModules() LOCKS_EXCLUDED(mapLock_);
  // The "perfmon" records and the registration of measured processes; on when the
  // performance monitor is configured.
  PerfMonLog& perfMonLog() { return perfMonLog_; }
  // Applies the process rules in use to every process anew (a reconfiguration), measuring
  // from since; with the monitor off, none is measured.
  void remeasure(std::int64_t since) LOCKS_EXCLUDED(mapLock_);
  // With the map held: the processes the performance monitor measures, and whether an entry
  // listed earlier is still the map's.
  std::vector<ProcessRef> measuredEntries() const EXCLUSIVE_LOCKS_REQUIRED(mapLock_);
  bool holds(const ProcessRef& entry) const EXCLUSIVE_LOCKS_REQUIRED(mapLock_);

  // Delivery hook of the "process" stream: an interim record for every running process.
  void dumpAll() LOCKS_EXCLUDED(mapLock_);
  // Delivery hook of the "perfmon" stream: a record for every measured process, whose
  // figures then start again. Returns the second the records end at.
  std::int64_t dumpPerfMon() LOCKS_EXCLUDED(mapLock_);

  // Status monitor: logs the pending starts whose executable can now be read, and drops
  // end events that waited too long for their start.
  void retryPendingStarts() LOCKS_EXCLUDED(mapLock_);
  void pruneEndedProcesses(const DateTime& now);

  // Thread kill hook: a killed owner must not leave the map locked.
  void renewIfOwnedBy(std::uint32_t threadId);
  // Ends every process whose end was lost: the ones no longer running, dated now; with a
  // bound, only those started up to it (the later ones' ends are the events' to tell, and
  // may still be on their way).
  void endVanished(const RepairBound& startedBefore = {}) LOCKS_EXCLUDED(mapLock_);
  // Forgets every process (shutdown).
  void clear() LOCKS_EXCLUDED(mapLock_);

  std::size_t size() const LOCKS_EXCLUDED(mapLock_);
  // The processes in the map, if it can be had within patience: a status must not wait on a
  // busy map.
  std::optional<std::size_t> sizeWithin(std::chrono::milliseconds patience) const
      LOCKS_EXCLUDED(mapLock_);
  std::size_t endedCount() const;
  std::size_t pendingCount() const;

 private:
  using Map = std::map<std::uint32_t, ProcessRef>;

  void logStartProcess(const ProcessRef& process) LOCKS_EXCLUDED(mapLock_);
  void logEndProcess(const ProcessRef& event) LOCKS_EXCLUDED(mapLock_);
  // The record of an entry still running, up to end (a delivery): false when the entry was
  // found ended meanwhile, and ended.
  bool logInterim(const ProcessRef& entry, const DateTime& end) EXCLUSIVE_LOCKS_REQUIRED(mapLock_);
  // The last records of an entry whose end time is set: its modules, its performance, its
  // usage; then it leaves the map and is remembered as ended.
  void finishEntry(const ProcessRef& entry) EXCLUSIVE_LOCKS_REQUIRED(mapLock_);
  // The map's entry of an event's process, or null (logged).
  ProcessRef entryOf(const char* caller, const Process& event) const
      EXCLUSIVE_LOCKS_REQUIRED(mapLock_);

  bool addProcessToEndedProcessMap(const ProcessRef& process) EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  bool removeProcessFromEndedProcessMap(std::uint32_t pid) EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  void dropOldestEnded() EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  // The ended-process map's entry for pid, or null.
  ProcessRef endedProcess(std::uint32_t pid) const;
  void erasePendingStart(std::uint32_t pid);
  // Steps shared by every end and interim record: clamps the end time, sets it on the entry
  // and drops a pending start; false (entry removed) when the entry started after it ended.
  bool takeEndTime(DateTime end, const ProcessRef& entry) EXCLUSIVE_LOCKS_REQUIRED(mapLock_);
  // A usage record; an interim one is of a process still running, whatever its handle reads.
  std::string usageRecord(const ProcessRef& entry, bool interim);
  // The module records of a process whose record is about to be written: for an ended
  // process every module it had; for a dump (running), every module still loaded (the dump
  // looked at them just before), whose stretch then starts again.
  void logModules(const ProcessRef& entry, bool running);
  // The performance record of a measured process, at its end (now 0) or a dump; a failure
  // costs that record only. An interim usage record comes with none.
  void logPerformance(const ProcessRef& entry, std::int64_t now);
  void logProcessData(const ProcessRef& entry, bool interim = false);
  // Takes the end of process from the ended-process map, if one waits there for it (its time
  // and status go into process); an end older than the start is dropped.
  bool takeWaitingEnd(const ProcessRef& process);
  // One record for a pending start whose process is gone.
  void logLostStart(const ProcessRef& process);
  // Remembers a process whose end was logged; a listing made before it ended may report it
  // started.
  void rememberEnded(const Process& process) EXCLUSIVE_LOCKS_REQUIRED(mapLock_);
  bool endedAlready(const Process& process) const EXCLUSIVE_LOCKS_REQUIRED(mapLock_);

  platform::Env& env_;
  const LoggerUnit& logger_;
  ExeFinder& exeFinder_;
  const Accounts& accounts_;
  const PrimeTime& primeTime_;
  DataStreams& streams_;
  const InventoryOps::StaticInfo facts_;
  ModuleLog moduleLog_;
  PerfMonLog perfMonLog_;

  // Taken through a Hold only, and never again by its holder.
  mutable RenewableMutex mapLock_;
  Map processes_ GUARDED_BY(mapLock_);
  struct EndedProgram {
    std::uint64_t startStamp = 0;
    std::uint64_t exactStart = 0;
    std::string executable;
  };
  // The programs ended last, by pid with their start stamps, oldest first in the order.
  std::map<std::uint32_t, EndedProgram> recentlyEnded_ GUARDED_BY(mapLock_);
  std::deque<std::uint32_t> recentlyEndedOrder_ GUARDED_BY(mapLock_);
  mutable RenewableMutex endedLock_;
  Map ended_ GUARDED_BY(endedLock_);
  // The entries of ended_ in the order they came; an entry whose pid ended_ has dropped, or
  // holds for a later end, waits here until it is the oldest.
  std::deque<ProcessRef> endedOrder_ GUARDED_BY(endedLock_);
  mutable RenewableMutex pendingLock_;
  Map pending_ GUARDED_BY(pendingLock_);
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_PROCESSMAP_H_
