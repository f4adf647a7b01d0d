// One performance counter of one measured process, and its aggregate since the last reset:
// the last value, a running total (for "sum" and "avg", divided by the count when reported),
// the maximum or the minimum.
#ifndef TARNWICK_USAGE_COUNTERSAMPLE_H_
#define TARNWICK_USAGE_COUNTERSAMPLE_H_

#include <cstdint>
#include <limits>
#include <optional>

namespace Vantor {

enum class Aggregation : std::uint32_t {
  kLast = 0,
  kSum = 1,
  kAverage = 2,
  kMaximum = 3,
  kMinimum = 4
};

struct CounterSample {
  std::uint32_t pid = 0;
  std::uint32_t counterIndex = 0;  // the counter's title index
  Aggregation aggregation = Aggregation::kLast;
  std::uint32_t count = 0;
  double value = 0;
  bool failed = false;           // the last update failed
  std::uint32_t lastOutput = 0;  // seconds since 1970 of the last record that used it; 0 before

  // The aggregate a new sample, or one just reported, starts from.
  void restart() {
    count = 0;
    value = aggregation == Aggregation::kMinimum ? std::numeric_limits<double>::max() : 0;
  }
  // Takes one value into the aggregate.
  void add(double sampled);
  // Takes a value read for the sample: false, with the error flag set and the aggregate kept,
  // when there is none or it is negative.
  bool take(std::optional<double> sampled);
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_COUNTERSAMPLE_H_
