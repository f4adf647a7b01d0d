// The "ModulePoller" worker: at the module poll interval it looks at the modules of every
// process in the process map, and records those that were unloaded since the last look.
#ifndef TARNWICK_SOURCES_MODULEPOLLER_H_
#define TARNWICK_SOURCES_MODULEPOLLER_H_

#include "platform/Env.h"
#include "supervision/ThreadTable.h"
#include "usage/ProcessMap.h"

namespace Vantor {

class ModulePoller {
 public:
  ModulePoller(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap);

  // Written by the configuration while no module poller runs.
  void configure(const TimeSpan& interval) { interval_ = interval; }
  // Registers the "ModulePoller" row on the thread table.
  bool prepare(ThreadTable& threads);
  // One pass over the process map.
  void pollModules();

 private:
  platform::Env& env_;
  const LoggerUnit& logger_;
  ProcessMap& processMap_;
  TimeSpan interval_{0};
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_MODULEPOLLER_H_
