#include "sources/CounterQuery.h"

#include <chrono>
#include <thread>

namespace Vantor {

namespace {

namespace perf = platform::perf;

// Where a process's counter lies in a block: its object, its definition and its counter block.
struct Located {
  const platform::PerfObject* object = nullptr;
  const platform::PerfCounterDefinition* definition = nullptr;
  const std::vector<std::uint8_t>* counters = nullptr;
};

std::optional<Located> locate(const platform::PerfData& block, std::uint32_t pid,
                              std::uint32_t counterIndex) {
  for (const platform::PerfObject& object : block.objects) {
    const platform::PerfCounterDefinition* wanted = nullptr;
    const platform::PerfCounterDefinition* idProcess = nullptr;
    for (const platform::PerfCounterDefinition& definition : object.counters) {
      if (definition.titleIndex == counterIndex && wanted == nullptr) wanted = &definition;
      if (definition.titleIndex == CounterQuery::kIdProcess && idProcess == nullptr) {
        idProcess = &definition;
      }
    }
    if (wanted == nullptr) continue;
    if (!object.hasInstances) return Located{&object, wanted, &object.ownCounters};
    if (idProcess == nullptr) continue;
    for (const platform::PerfInstance& instance : object.instances) {
      if (platform::rawCounterValue(instance.counters, *idProcess) == pid) {
        return Located{&object, wanted, &instance.counters};
      }
    }
  }
  return std::nullopt;
}

// The raw value; a decimal number "in thousandths" is scaled.
std::optional<double> rawValue(const Located& at) {
  std::optional<std::uint64_t> raw = platform::rawCounterValue(*at.counters, *at.definition);
  if (!raw) return std::nullopt;
  double value = at.definition->size == 8 ? static_cast<double>(static_cast<std::int64_t>(*raw))
                                          : static_cast<double>(*raw);
  std::uint32_t type = at.definition->type;
  if ((type & perf::kTypeMask) == perf::kTypeNumber &&
      (type & perf::kSubtypeMask) == perf::kNumberDec1000) {
    value *= 0.001;
  }
  return value;
}

// The value of the counter that follows a fraction in its counter block: its base.
std::optional<double> baseValue(const Located& at) {
  const auto& counters = at.object->counters;
  for (std::size_t i = 0; i + 1 < counters.size(); ++i) {
    if (&counters[i] == at.definition) {
      Located base = at;
      base.definition = &counters[i + 1];
      return rawValue(base);
    }
  }
  return std::nullopt;
}

double timeOf(const platform::PerfData& block, const platform::PerfObject& object,
              std::uint32_t type) {
  switch (type & perf::kTimerMask) {
    case perf::kTimer100ns:
      return static_cast<double>(block.perfTime100nSec);
    case perf::kObjectTimer:
      return static_cast<double>(object.perfTime);
    default:
      return static_cast<double>(block.perfTime);
  }
}

}  // namespace

std::optional<platform::PerfData> CounterQuery::readBlock() {
  std::optional<std::vector<std::uint8_t>> bytes = read_();
  if (!bytes) return std::nullopt;
  return platform::parsePerfDataBlock(bytes->data(), bytes->size());
}

int CounterQuery::collect() {
  if (!older_) older_ = readBlock();
  return older_ ? 0 : -1;
}

void CounterQuery::shift() {
  older_ = std::move(newer_);
  newer_.reset();
}

std::optional<double> CounterQuery::counterValue(std::uint32_t pid, std::uint32_t counterIndex) {
  if (!older_) return std::nullopt;
  std::optional<Located> old = locate(*older_, pid, counterIndex);
  if (!old) return std::nullopt;
  std::uint32_t type = old->definition->type;
  switch (type & perf::kTypeMask) {
    case perf::kTypeNumber:
      return rawValue(*old);
    case perf::kTypeText:
      return -1.0;
    case perf::kTypeCounter:
      break;
    default:
      return 0.0;
  }
  if (!newer_) {
    // Two looks a moment apart, for a rate at the first look.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    newer_ = readBlock();
    if (!newer_) return std::nullopt;
  }
  std::optional<Located> now = locate(*newer_, pid, counterIndex);
  if (!now) return 0.0;  // gone from the newer block
  std::optional<double> before = rawValue(*old);
  std::optional<double> after = rawValue(*now);
  if (!before || !after) return std::nullopt;
  bool delta = (type & perf::kDeltaCounter) != 0;
  double x = delta ? *after - *before : *after;
  double timeNow = timeOf(*newer_, *now->object, type);
  // A delta counter is a rate over the time between the two blocks.
  double base = delta ? timeNow - timeOf(*older_, *old->object, type) : timeNow;
  switch (type & perf::kSubtypeMask) {
    case perf::kCounterRate:
    case perf::kCounterQueueLength:
      x = base == 0 ? 0 : x / base;
      break;
    case perf::kCounterFraction: {
      std::optional<double> of = baseValue(*now);
      x = !of || *of == 0 || x == 0 ? 0 : x / *of;
      break;
    }
    case perf::kCounterElapsed:
      if ((type & perf::kTimerMask) == perf::kObjectTimer) {
        double frequency = static_cast<double>(now->object->perfFreq);
        x = frequency == 0 ? 0 : (timeNow - x) / frequency;
      } else {
        x = timeNow - x;
      }
      break;
    default:
      break;
  }
  if (type & perf::kInverseCounter) x = 1 - x;
  switch (type & perf::kDisplayMask) {
    case perf::kDisplayPerSecond:
      x *= static_cast<double>(newer_->perfFreq);
      break;
    case perf::kDisplayPercent:
      x *= 100;
      break;
    default:
      break;
  }
  return x;
}

bool CounterQuery::inOlder(std::uint32_t pid) const {
  return older_ && locate(*older_, pid, kIdProcess).has_value();
}

bool CounterQuery::inNewer(std::uint32_t pid) const {
  return newer_ && locate(*newer_, pid, kIdProcess).has_value();
}

int CounterQuery::updateCounter(CounterSample& sample) {
  return sample.take(counterValue(sample.pid, sample.counterIndex)) ? 0 : -2;
}

}  // namespace Vantor
