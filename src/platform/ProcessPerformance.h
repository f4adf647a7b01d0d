// What the system's performance-data key gives for the "Process" object: a data block with an
// instance for each process, and the English names of its object and counters.
#ifndef TARNWICK_PLATFORM_PROCESSPERFORMANCE_H_
#define TARNWICK_PLATFORM_PROCESSPERFORMANCE_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/ProcessTable.h"

namespace Vantor::platform {

inline constexpr std::uint32_t kProcessObjectIndex = 230;
inline constexpr std::uint32_t kHandleCountIndex = 952;

// What the system's performance-data key gives. Safe for concurrent use by multiple threads.
class PerformanceCounters {
 public:
  virtual ~PerformanceCounters() = default;

  // (title index, English name) of the object and of each of its counters, by index.
  virtual const std::vector<std::pair<std::uint32_t, std::string>>& englishCounterNames() = 0;
  // The highest title index of the name table ("Last Counter").
  virtual std::uint32_t lastCounterIndex() = 0;

  // A data block of the "Process" object (platform/PerfDataBlock.h) with an instance for
  // each of processes, or for every process when processes is null; a process that is gone,
  // or whose id a later process has taken (a non-zero start stamp tells), is left out.
  // "Handle Count" costs a look at each of a process's descriptors, of which it may have a
  // million: without countHandles it is 0. False when the process table cannot be read.
  virtual bool readProcessData(const std::vector<ProcessId>* processes, bool countHandles,
                               std::vector<std::uint8_t>* block) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PROCESSPERFORMANCE_H_
