// The records of the "module" data stream: one for each stretch of time a metered process had
// a module loaded, written when the module filter lets its name through. The process map
// writes them when a process ends or is dumped, the module poller when a module unloads.
#ifndef TARNWICK_USAGE_MODULELOG_H_
#define TARNWICK_USAGE_MODULELOG_H_

#include <atomic>
#include <memory>

#include "foundation/InventoryOps.h"
#include "logging/LoggerUnit.h"
#include "platform/Mutex.h"
#include "usage/DataStreams.h"
#include "usage/ModuleFilter.h"
#include "usage/PrimeTime.h"
#include "usage/Process.h"

namespace Vantor {

class ModuleLog {
 public:
  // facts: as recordFacts() made them.
  ModuleLog(const LoggerUnit& logger, const PrimeTime& primeTime, DataStreams& streams,
            const InventoryOps::StaticInfo& facts);

  // On with the filter to apply, or off (null). Safe while records are written.
  void configure(std::shared_ptr<const ModuleFilter> filter) LOCKS_EXCLUDED(mutex_);
  bool enabled() const { return enabled_.load(); }
  // The filter in use; null when off.
  std::shared_ptr<const ModuleFilter> filter() const LOCKS_EXCLUDED(mutex_);
  void writeModuleRecord(const Process& process, const ModuleRecord& module) const
      LOCKS_EXCLUDED(mutex_);

 private:
  const LoggerUnit& logger_;
  const PrimeTime& primeTime_;
  DataStreams& streams_;
  const InventoryOps::StaticInfo& facts_;
  mutable platform::Mutex mutex_;
  std::shared_ptr<const ModuleFilter> filter_ GUARDED_BY(mutex_);
  std::atomic<bool> enabled_{false};
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_MODULELOG_H_
