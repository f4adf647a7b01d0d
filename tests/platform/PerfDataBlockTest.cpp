#include <gtest/gtest.h>

#include "platform/PerfDataBlock.h"

namespace Vantor::platform {
namespace {

std::vector<std::uint8_t> counterBlock(std::uint32_t pid, std::uint64_t time) {
  std::vector<std::uint8_t> block(16, 0);
  for (int i = 0; i < 4; ++i) block[4 + i] = std::uint8_t(pid >> (8 * i));
  for (int i = 0; i < 8; ++i) block[8 + i] = std::uint8_t(time >> (8 * i));
  return block;
}

PerfData twoProcesses() {
  PerfData data;
  data.perfTime = 1000;
  data.perfFreq = 10'000'000;
  data.perfTime100nSec = 5000;
  data.systemName = u"vm";
  PerfObject process;
  process.titleIndex = 230;
  process.perfTime = 77;
  process.perfFreq = 10'000'000;
  process.counters = {{784, perf::kRawCount, 4, 4}, {6, perf::k100nsTimer, 8, 8}};
  process.instances = {{u"sleep", counterBlock(42, 123456789012ULL)},
                       {u"bash", counterBlock(43, 7)}};
  data.objects.push_back(process);
  return data;
}

TEST(PerfDataBlockTest, ABuiltBlockReadsBackWhole) {
  std::vector<std::uint8_t> bytes = buildPerfDataBlock(twoProcesses());
  std::optional<PerfData> read = parsePerfDataBlock(bytes.data(), bytes.size());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->perfTime100nSec, 5000);
  EXPECT_EQ(read->systemName, u"vm");
  ASSERT_EQ(read->objects.size(), 1u);
  const PerfObject& object = read->objects[0];
  EXPECT_EQ(object.titleIndex, 230u);
  EXPECT_EQ(object.perfTime, 77);
  ASSERT_EQ(object.counters.size(), 2u);
  ASSERT_EQ(object.instances.size(), 2u);
  EXPECT_EQ(object.instances[1].name, u"bash");
  EXPECT_EQ(rawCounterValue(object.instances[0].counters, object.counters[0]), 42u);
  EXPECT_EQ(rawCounterValue(object.instances[0].counters, object.counters[1]), 123456789012ULL);
}

// Writes a 32-bit value into a copy of the block.
std::vector<std::uint8_t> with(std::vector<std::uint8_t> bytes, std::size_t at,
                               std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = std::uint8_t(value >> (8 * i));
  return bytes;
}

TEST(PerfDataBlockTest, DamagedBlocksAreRefusedWithoutReadingPastThem) {
  std::vector<std::uint8_t> good = buildPerfDataBlock(twoProcesses());
  // Every shorter piece of the block claims more than it holds.
  for (std::size_t size = 0; size < good.size(); ++size) {
    std::vector<std::uint8_t> piece(good.begin(), good.begin() + size);
    EXPECT_FALSE(parsePerfDataBlock(piece.data(), piece.size())) << size;
  }
  const std::size_t object = 88 + 8;  // after the header and the system name "vm"
  const std::size_t firstCounter = object + 64;
  for (const auto& [what, damaged] : std::vector<std::pair<const char*, std::vector<std::uint8_t>>>{
           {"signature", with(good, 0, 0x00520050)},
           {"byte order", with(good, 8, 0)},
           {"total length", with(good, 20, static_cast<std::uint32_t>(good.size() + 1))},
           {"header length", with(good, 24, 0xFFFFFFF0)},
           {"object count", with(good, 28, 0xFFFFFFFF)},
           {"object length", with(good, object, 0xFFFFFFFF)},
           {"definition length", with(good, object + 4, 0xFFFFFFFF)},
           {"counter count", with(good, object + 32, 0x40000000)},
           {"instance count", with(good, object + 40, 0x7FFFFFFF)},
           {"counter length", with(good, firstCounter, 0xFFFFFFFF)},
           {"counter offset", with(good, firstCounter + 36, 0xFFFFFFFC)},
           {"counter size", with(good, firstCounter + 32, 0xFFFFFFFF)},
       }) {
    EXPECT_FALSE(parsePerfDataBlock(damaged.data(), damaged.size())) << what;
  }
}

}  // namespace
}  // namespace Vantor::platform
