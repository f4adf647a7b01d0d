// The performance-data block of the documented Windows binary layout (PERF_DATA_BLOCK and its
// objects, counter definitions, instances and counter blocks), little-endian: built from a
// plain description, and read back with every offset, length and count checked against the
// bytes, so that any bytes are safe input.
#ifndef TARNWICK_PLATFORM_PERFDATABLOCK_H_
#define TARNWICK_PLATFORM_PERFDATABLOCK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Vantor::platform {

// Counter type bits.
namespace perf {
inline constexpr std::uint32_t kSizeMask = 0x00000300;
inline constexpr std::uint32_t kSizeDword = 0x00000000;
inline constexpr std::uint32_t kSizeLarge = 0x00000100;
inline constexpr std::uint32_t kTypeMask = 0x00000C00;
inline constexpr std::uint32_t kTypeNumber = 0x00000000;
inline constexpr std::uint32_t kTypeCounter = 0x00000400;
inline constexpr std::uint32_t kTypeText = 0x00000800;
inline constexpr std::uint32_t kTypeZero = 0x00000C00;
inline constexpr std::uint32_t kSubtypeMask = 0x000F0000;
inline constexpr std::uint32_t kNumberDecimal = 0x00010000;
inline constexpr std::uint32_t kNumberDec1000 = 0x00020000;
inline constexpr std::uint32_t kCounterRate = 0x00010000;
inline constexpr std::uint32_t kCounterFraction = 0x00020000;
inline constexpr std::uint32_t kCounterBase = 0x00030000;
inline constexpr std::uint32_t kCounterElapsed = 0x00040000;
inline constexpr std::uint32_t kCounterQueueLength = 0x00050000;
inline constexpr std::uint32_t kTimerMask = 0x00300000;
inline constexpr std::uint32_t kTimerTick = 0x00000000;
inline constexpr std::uint32_t kTimer100ns = 0x00100000;
inline constexpr std::uint32_t kObjectTimer = 0x00200000;
inline constexpr std::uint32_t kDeltaCounter = 0x00400000;
inline constexpr std::uint32_t kInverseCounter = 0x01000000;
inline constexpr std::uint32_t kDisplayMask = 0xF0000000;
inline constexpr std::uint32_t kDisplayPerSecond = 0x10000000;
inline constexpr std::uint32_t kDisplayPercent = 0x20000000;
inline constexpr std::uint32_t kDisplaySeconds = 0x30000000;

// The standard types the "Process" object uses.
inline constexpr std::uint32_t kRawCount = kSizeDword | kTypeNumber | kNumberDecimal;
inline constexpr std::uint32_t kLargeRawCount = kSizeLarge | kTypeNumber | kNumberDecimal;
inline constexpr std::uint32_t kCounterCounter =
    kSizeDword | kTypeCounter | kCounterRate | kTimerTick | kDeltaCounter | kDisplayPerSecond;
inline constexpr std::uint32_t kBulkCount =
    kSizeLarge | kTypeCounter | kCounterRate | kTimerTick | kDeltaCounter | kDisplayPerSecond;
inline constexpr std::uint32_t k100nsTimer =
    kSizeLarge | kTypeCounter | kCounterRate | kTimer100ns | kDeltaCounter | kDisplayPercent;
inline constexpr std::uint32_t kElapsedTime =
    kSizeLarge | kTypeCounter | kCounterElapsed | kObjectTimer | kDisplaySeconds;
}  // namespace perf

struct PerfCounterDefinition {
  std::uint32_t titleIndex = 0;
  std::uint32_t type = 0;
  std::uint32_t size = 4;    // bytes: 4 or 8 for numbers
  std::uint32_t offset = 0;  // from the start of the counter block, past its 4-byte length
};

// One instance of an object (one process of the "Process" object): its name and its counter
// block, whose first 4 bytes are the block's length (the builder writes them).
struct PerfInstance {
  std::u16string name;
  std::vector<std::uint8_t> counters;
};

struct PerfObject {
  std::uint32_t titleIndex = 0;
  std::int64_t perfTime = 0;
  std::int64_t perfFreq = 0;
  std::vector<PerfCounterDefinition> counters;
  // Without instances, the object has one counter block of its own.
  bool hasInstances = true;
  std::vector<PerfInstance> instances;
  std::vector<std::uint8_t> ownCounters;
};

struct PerfData {
  std::int64_t perfTime = 0;
  std::int64_t perfFreq = 0;
  std::int64_t perfTime100nSec = 0;
  std::u16string systemName;
  std::vector<PerfObject> objects;
};

std::vector<std::uint8_t> buildPerfDataBlock(const PerfData& data);
// The block read back; nothing for bytes that are not one whole, consistent little-endian
// block (a wrong signature, an offset or a length past what holds it, a count that cannot
// fit). Counter definitions whose data lies outside a counter block are refused too.
std::optional<PerfData> parsePerfDataBlock(const std::uint8_t* bytes, std::size_t size);

// A counter's raw value from a counter block: 4 bytes unsigned or 8 bytes; nothing when it
// does not lie within the block.
std::optional<std::uint64_t> rawCounterValue(const std::vector<std::uint8_t>& counters,
                                             const PerfCounterDefinition& definition);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PERFDATABLOCK_H_
