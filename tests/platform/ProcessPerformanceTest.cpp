#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/Env.h"
#include "platform/PerfDataBlock.h"
#include "platform/ProcessPerformance.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

namespace Vantor::platform {
namespace {

std::uint64_t statusKilobytes(const std::string& key) {
  std::string status = testing::readFile("/proc/self/status");
  std::size_t at = status.find(key);
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + key.size()));
}

TEST(ProcessPerformanceTest, AProcessReadsAsTheKernelCountsIt) {
  // 64 MB of private memory, touched.
  constexpr std::size_t kHeld = 64 << 20;
  auto held = std::make_unique<char[]>(kHeld);
  std::memset(held.get(), 1, kHeld);
  // Used, as far as the compiler knows: it may not leave the memory out.
  asm volatile("" : : "r"(held.get()) : "memory");
  // The parent with a start stamp not its own stands for a later process of a reused id.
  std::vector<ProcessId> self{{static_cast<std::uint32_t>(::getpid()), 0},
                              {0x7FFFFFFE, 0},
                              {static_cast<std::uint32_t>(::getppid()), 1}};
  std::vector<std::uint8_t> bytes;
  // A process may name itself after a line of its status text: that must not be its figure.
  char name[16] = {};
  ::prctl(PR_GET_NAME, name);
  ::prctl(PR_SET_NAME, "VmSwap:99999999");
  bool read = testing::systemEnv().performanceCounters().readProcessData(&self, true, &bytes);
  ::prctl(PR_SET_NAME, name);
  ASSERT_TRUE(read);
  std::uint64_t kernelPrivate = (statusKilobytes("RssAnon:") + statusKilobytes("VmSwap:")) * 1024;

  std::optional<PerfData> block = parsePerfDataBlock(bytes.data(), bytes.size());
  ASSERT_TRUE(block);
  ASSERT_EQ(block->objects.size(), 1u);
  const PerfObject& process = block->objects[0];
  EXPECT_EQ(process.titleIndex, kProcessObjectIndex);
  ASSERT_EQ(process.instances.size(), 1u);  // no such pid, nor the stamp's process, is there
  auto value = [&](const std::string& name) {
    const auto& names = testing::systemEnv().performanceCounters().englishCounterNames();
    auto entry = std::find_if(names.begin(), names.end(),
                              [&](const auto& pair) { return pair.second == name; });
    EXPECT_NE(entry, names.end()) << name;
    for (const PerfCounterDefinition& counter : process.counters) {
      if (counter.titleIndex == entry->first) {
        return rawCounterValue(process.instances[0].counters, counter).value_or(0);
      }
    }
    ADD_FAILURE() << name;
    return std::uint64_t{0};
  };
  EXPECT_EQ(value("ID Process"), static_cast<std::uint64_t>(::getpid()));
  EXPECT_GE(value("Private Bytes"), kHeld);
  EXPECT_NEAR(static_cast<double>(value("Private Bytes")), static_cast<double>(kernelPrivate),
              0.02 * static_cast<double>(kernelPrivate));
  EXPECT_GE(value("Working Set"), kHeld);
  EXPECT_GE(value("Virtual Bytes"), kHeld);
  EXPECT_GE(value("Thread Count"), 1u);
  EXPECT_GE(value("Handle Count"), 3u);
  // Started before now, on the object's clock.
  EXPECT_GT(value("Elapsed Time"), 0u);
  EXPECT_LE(static_cast<std::int64_t>(value("Elapsed Time")), process.perfTime);
  EXPECT_EQ(testing::systemEnv().performanceCounters().lastCounterIndex(),
            testing::systemEnv().performanceCounters().englishCounterNames().back().first);
}

}  // namespace
}  // namespace Vantor::platform
