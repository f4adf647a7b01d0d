// The processes being metered, and the usage records written for them into the "process"
// data stream. Every source hands its start, end and in-use events to logProcess(); the map
// decides what they mean, keeps ended-before-started and not-yet-readable processes in two
// side maps, and writes one record per logged event.
//
// Lock order: the process-map lock (recursive for its owner, taken with a bounded wait
// through enforceMonopoly), then the pending-start or the ended-process lock, then a data
// stream's lock.
#ifndef TARNWICK_USAGE_PROCESSMAP_H_
#define TARNWICK_USAGE_PROCESSMAP_H_

#include <deque>
#include <map>
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

  void logProcess(const ProcessRef& process);
  void logStartProcess(const ProcessRef& process);
  void logEndProcess(const ProcessRef& process);
  void logProcessUsage(const ProcessRef& process);
  void logProcessData(const ProcessRef& entry);

  bool addProcess(const ProcessRef& process);
  bool removeProcess(std::uint32_t pid);
  // True with entry null when the pid is absent (the lock is then free again); true with the
  // entry and the lock held until checkIn; false when the lock could not be taken.
  bool checkOut(std::uint32_t pid, ProcessRef& entry);
  void checkIn(ProcessRef& entry);
  bool checkOutAll();
  void checkInAll();
  // The "module" records of the map's processes; on when module logging is configured.
  ModuleLog& moduleLog() { return moduleLog_; }
  // Looks at the modules of every process and records those gone since the last look. The
  // mappings are read without the map's lock; only what changed is applied under it. The
  // caller names the pass in a warning when the map cannot be had.
  void refreshModules(const std::string& caller);
  // Records every module still loaded, up to now, and starts its stretch again: before a
  // reconfiguration, which may switch module records off.
  void restartModuleStretches();
  // Empties every module table (module records were switched off).
  void forgetModules();
  // The "perfmon" records and the registration of measured processes; on when the
  // performance monitor is configured.
  PerfMonLog& perfMonLog() { return perfMonLog_; }
  // Applies the process rules in use to every process anew (a reconfiguration), measuring
  // from since; with the monitor off, none is measured.
  void remeasure(std::int64_t since);
  // With the map checked out: the processes the performance monitor measures, by pid, and
  // whether an entry listed earlier is still the map's.
  std::vector<ProcessRef> measuredEntries() const;
  bool holds(const ProcessRef& entry) const;

  // Delivery hook of the "process" stream: an interim record for every running process.
  void dumpAll();
  // Delivery hook of the "perfmon" stream: a record for every measured process, whose
  // figures then start again. Returns the second the records end at.
  std::int64_t dumpPerfMon();

  // Status monitor: logs the pending starts whose executable can now be read, and drops
  // end events that waited too long for their start.
  void retryPendingStarts();
  void pruneEndedProcesses(const DateTime& now);

  // Thread kill hook: a killed owner must not leave the map locked.
  void renewIfOwnedBy(std::uint32_t threadId);
  // Ends every process whose end was lost: the ones no longer running, dated now; with a
  // bound, only those started up to it (the later ones' ends are the events' to tell, and
  // may still be on their way).
  void endVanished(const RepairBound& startedBefore = {});
  // Forgets every process (shutdown).
  void clear();

  std::size_t size() const;
  std::size_t endedCount() const;
  std::size_t pendingCount() const;

  // The map lock is handed across calls (checkOut to checkIn), which the lock analysis cannot
  // follow; the RenewableMutex itself keeps owner and count.
  bool enforceMonopoly(const std::string& caller,
                       std::uint32_t retryThread) NO_THREAD_SAFETY_ANALYSIS;
  void relaxMonopoly(const std::string& caller) NO_THREAD_SAFETY_ANALYSIS;

 private:
  using Map = std::map<std::uint32_t, ProcessRef>;

  bool addProcessToEndedProcessMap(const ProcessRef& process) EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  bool removeProcessFromEndedProcessMap(std::uint32_t pid) EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  void dropOldestEnded() EXCLUSIVE_LOCKS_REQUIRED(endedLock_);
  // The ended-process map's entry for pid, or null.
  ProcessRef endedProcess(std::uint32_t pid) const;
  void erasePendingStart(std::uint32_t pid);
  // checkOut for an event handler: false (logged) when the map could not be had; true with
  // entry null (logged) when it holds no such process.
  bool checkOutEvent(const std::string& caller, const ProcessRef& event, ProcessRef& entry);
  // Steps shared by end and usage events: clamps the end time, copies it into the entry and
  // drops a pending start; false (entry removed) when the entry started after it ended.
  bool takeEndTime(const ProcessRef& event, const ProcessRef& entry);
  std::string usageRecord(const ProcessRef& entry);
  // The module records of a process whose record is about to be written: for an ended
  // process every module it had; for a dump (running), every module still loaded (the dump
  // looked at them just before), whose stretch then starts again.
  void logModules(const ProcessRef& entry, bool running);
  // The performance record of a measured process, at its end (now 0) or a dump; a failure
  // costs that record only. An interim usage event writes none.
  void logPerformance(const ProcessRef& entry, std::int64_t now);
  // Takes the end of process from the ended-process map, if one waits there for it (its time
  // and status go into process); an end older than the start is dropped.
  bool takeWaitingEnd(const ProcessRef& process);
  // One record for a pending start whose process is gone.
  void logLostStart(const ProcessRef& process);
  // Remembers a process whose end was logged; a listing made before it ended may report it
  // started. Both with the map lock held.
  void rememberEnded(const Process& process);
  bool endedAlready(const Process& process) const;

  platform::Env& env_;
  const LoggerUnit& logger_;
  ExeFinder& exeFinder_;
  const Accounts& accounts_;
  const PrimeTime& primeTime_;
  DataStreams& streams_;
  const InventoryOps::StaticInfo facts_;
  ModuleLog moduleLog_;
  PerfMonLog perfMonLog_;

  mutable RenewableMutex mapLock_;
  Map processes_;  // guarded by mapLock_ (a recursive RenewableMutex, taken by enforceMonopoly)
  struct EndedProgram {
    std::uint64_t startStamp = 0;
    std::string executable;
  };
  // The programs ended last, by pid with their start stamps, oldest first in the order;
  // guarded by mapLock_.
  std::map<std::uint32_t, EndedProgram> recentlyEnded_;
  std::deque<std::uint32_t> recentlyEndedOrder_;
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
