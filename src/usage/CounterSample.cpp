#include "usage/CounterSample.h"

namespace Vantor {

void CounterSample::add(double sampled) {
  switch (aggregation) {
    case Aggregation::kSum:
    case Aggregation::kAverage:
      value += sampled;
      break;
    case Aggregation::kMaximum:
      if (sampled > value) value = sampled;
      break;
    case Aggregation::kMinimum:
      if (sampled < value) value = sampled;
      break;
    default:
      value = sampled;
      break;
  }
  // Before the count overflows, a total becomes its mean, counted once.
  constexpr std::uint32_t kLastCount = 2147483647;
  if (++count == kLastCount) {
    if (aggregation == Aggregation::kSum || aggregation == Aggregation::kAverage) {
      value *= 1.0 / kLastCount;
    }
    count = 1;
  }
}

bool CounterSample::take(std::optional<double> sampled) {
  failed = !sampled || !(*sampled >= 0);
  if (!failed) add(*sampled);
  return !failed;
}

}  // namespace Vantor
