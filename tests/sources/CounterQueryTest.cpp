#include <gtest/gtest.h>

#include <deque>

#include "sources/CounterQuery.h"

namespace Vantor {
namespace {

namespace perf = platform::perf;
using platform::PerfData;

constexpr std::uint32_t kPid = 42;
constexpr std::uint32_t kCounter = 6;

// A block of the "Process" object with one process, kPid, whose counter kCounter of the given
// type holds value; the counter after it (a fraction's base) holds base.
PerfData block(std::int64_t time, std::int64_t time100ns, std::int64_t objectTime,
               std::uint32_t type, std::uint64_t value, std::uint64_t base = 0) {
  PerfData data;
  data.perfTime = time;
  data.perfFreq = 1000;
  data.perfTime100nSec = time100ns;
  platform::PerfObject process;
  process.titleIndex = 230;
  process.perfTime = objectTime;
  process.perfFreq = 100;
  process.counters = {
      {CounterQuery::kIdProcess, perf::kRawCount, 4, 4},
      {kCounter, type, 8, 8},
      {kCounter + 1, perf::kSizeLarge | perf::kTypeCounter | perf::kCounterBase, 8, 16}};
  std::vector<std::uint8_t> counters(24, 0);
  counters[4] = kPid;
  for (int i = 0; i < 8; ++i) counters[8 + i] = std::uint8_t(value >> (8 * i));
  for (int i = 0; i < 8; ++i) counters[16 + i] = std::uint8_t(base >> (8 * i));
  process.instances = {{u"probe", counters}};
  data.objects.push_back(process);
  return data;
}

// A query over the blocks given, read in order.
CounterQuery queryOf(std::deque<PerfData> blocks) {
  return CounterQuery([blocks]() mutable -> std::optional<std::vector<std::uint8_t>> {
    if (blocks.empty()) return std::nullopt;
    std::vector<std::uint8_t> bytes = platform::buildPerfDataBlock(blocks.front());
    blocks.pop_front();
    return bytes;
  });
}

// The value of kCounter of type between an older and a newer block two seconds apart.
std::optional<double> valueOf(std::uint32_t type, std::uint64_t older, std::uint64_t newer,
                              std::uint64_t base = 0) {
  CounterQuery query = queryOf({block(1000, 10'000'000, 5000, type, older, base),
                                block(3000, 30'000'000, 5500, type, newer, base)});
  EXPECT_EQ(query.collect(), 0);
  return query.counterValue(kPid, kCounter);
}

TEST(CounterQueryTest, EveryCounterTypeEvaluatesAsTheFormatDefinesIt) {
  // Numbers come from the older block; "in thousandths" is scaled.
  EXPECT_EQ(valueOf(perf::kLargeRawCount, 4096, 1), 4096);
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeNumber | perf::kNumberDec1000, 2500, 1), 2.5);
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeText, 1, 1), -1);
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeZero, 7, 7), 0);
  // One second of processor time in two: 50 % on the 100-ns timer, and its inverse.
  EXPECT_EQ(valueOf(perf::k100nsTimer, 0, 10'000'000), 50);
  EXPECT_EQ(valueOf(perf::k100nsTimer | perf::kInverseCounter, 0, 10'000'000), 50);
  EXPECT_EQ(valueOf(perf::k100nsTimer | perf::kInverseCounter, 0, 5'000'000), 75);
  // 4,000 bytes in 2,000 ticks of a 1,000-a-second clock: 2,000 a second.
  EXPECT_EQ(valueOf(perf::kBulkCount, 1000, 5000), 2000);
  // The same rate without the per-second display: per tick.
  EXPECT_EQ(valueOf(perf::kBulkCount & ~perf::kDisplayMask, 1000, 5000), 2);
  // A rate that is not a delta: the newer value over the newer time.
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeCounter | perf::kCounterRate, 0, 6000), 2);
  // A fraction of its base, in percent.
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeCounter | perf::kCounterFraction |
                        perf::kDisplayPercent,
                    0, 30, 120),
            25);
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeCounter | perf::kCounterFraction, 0, 30, 0), 0);
  // Elapsed since the start value: on the object's timer in seconds, on the tick timer as is.
  EXPECT_EQ(valueOf(perf::kElapsedTime, 1500, 1500), 40);
  EXPECT_EQ(valueOf(perf::kSizeLarge | perf::kTypeCounter | perf::kCounterElapsed, 1000, 1000),
            2000);
}

TEST(CounterQueryTest, AProcessMissingFromABlockAndTheAggregates) {
  // Gone from the newer block: 0. Not in the older one: not available, the sample in error.
  CounterQuery gone =
      queryOf({block(1000, 0, 0, perf::kBulkCount, 1), block(3000, 0, 0, perf::kBulkCount, 9)});
  ASSERT_EQ(gone.collect(), 0);
  EXPECT_EQ(gone.counterValue(kPid + 1, kCounter), std::nullopt);
  CounterSample missing{kPid + 1, kCounter};
  EXPECT_EQ(gone.updateCounter(missing), -2);
  EXPECT_TRUE(missing.failed);
  CounterQuery vanished = queryOf({block(1000, 0, 0, perf::kBulkCount, 1), PerfData{}});
  ASSERT_EQ(vanished.collect(), 0);
  EXPECT_EQ(vanished.counterValue(kPid, kCounter), 0);
  // A text counter is always in error; no block at all, no collection.
  CounterQuery text = queryOf({block(1000, 0, 0, perf::kSizeLarge | perf::kTypeText, 1)});
  ASSERT_EQ(text.collect(), 0);
  CounterSample textSample{kPid, kCounter};
  EXPECT_EQ(text.updateCounter(textSample), -2);
  EXPECT_EQ(queryOf({}).collect(), -1);

  // Last, total, maximum and minimum; a total is made its mean before its count overflows.
  std::map<Aggregation, double> expected{{Aggregation::kLast, 2},
                                         {Aggregation::kSum, 9},
                                         {Aggregation::kAverage, 9},
                                         {Aggregation::kMaximum, 4},
                                         {Aggregation::kMinimum, 2}};
  for (const auto& [aggregation, value] : expected) {
    CounterSample sample{kPid, kCounter, aggregation};
    sample.restart();
    for (double v : {3.0, 4.0, 2.0}) sample.add(v);
    EXPECT_EQ(sample.value, value);
    EXPECT_EQ(sample.count, 3u);
  }
  CounterSample total{kPid, kCounter, Aggregation::kAverage, 2147483646, 2147483646.0};
  total.add(1.0);
  EXPECT_EQ(total.count, 1u);
  EXPECT_DOUBLE_EQ(total.value, 1.0);
}

}  // namespace
}  // namespace Vantor
