// The counter reader of the performance monitor: two performance-data blocks of the "Process"
// object, an older and a newer one, and the value of a counter of a process computed from them
// as the performance-data format defines it for the counter's type.
#ifndef TARNWICK_SOURCES_COUNTERQUERY_H_
#define TARNWICK_SOURCES_COUNTERQUERY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "platform/PerfDataBlock.h"
#include "usage/CounterSample.h"

namespace Vantor {

class CounterQuery {
 public:
  // The title index of the "ID Process" counter, which tells a process's instance.
  static constexpr std::uint32_t kIdProcess = 784;
  // Reads one data block; nothing when it cannot be read.
  using BlockReader = std::function<std::optional<std::vector<std::uint8_t>>()>;

  explicit CounterQuery(BlockReader read) : read_(std::move(read)) {}

  // Reads the older block when there is none: 0, or -1 when it cannot be read.
  int collect();
  // Takes the counter's value into the sample's aggregate: 0, or -2 (the error flag set) when
  // the value is not available or negative.
  int updateCounter(CounterSample& sample);
  // The newer block becomes the older one: rates are then taken over one interval.
  void shift();
  bool hasOlder() const { return older_.has_value(); }
  bool hasNewer() const { return newer_.has_value(); }
  // Whether a block was read and the process is in it (had not ended by then).
  bool inOlder(std::uint32_t pid) const;
  bool inNewer(std::uint32_t pid) const;
  // The counter's value for the process; nothing when it is not available.
  std::optional<double> counterValue(std::uint32_t pid, std::uint32_t counterIndex);

 private:
  std::optional<platform::PerfData> readBlock();

  BlockReader read_;
  std::optional<platform::PerfData> older_;
  std::optional<platform::PerfData> newer_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_COUNTERQUERY_H_
