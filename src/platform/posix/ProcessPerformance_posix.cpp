#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "platform/LittleEndian.h"
#include "platform/PerfDataBlock.h"
#include "platform/ProcessPerformance.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcText.h"

namespace Vantor::platform {

namespace {

// The counters, their standard types and where each lies in a counter block.
struct Counter {
  std::uint32_t index;
  const char* name;
  std::uint32_t type;
  std::uint32_t size;
};
constexpr Counter kCounters[] = {
    {784, "ID Process", perf::kRawCount, 4},
    {6, "% Processor Time", perf::k100nsTimer, 8},
    {142, "% User Time", perf::k100nsTimer, 8},
    {144, "% Privileged Time", perf::k100nsTimer, 8},
    {684, "Elapsed Time", perf::kElapsedTime, 8},
    {186, "Private Bytes", perf::kLargeRawCount, 8},
    {180, "Working Set", perf::kLargeRawCount, 8},
    {174, "Virtual Bytes", perf::kLargeRawCount, 8},
    {680, "Thread Count", perf::kRawCount, 4},
    {kHandleCountIndex, "Handle Count", perf::kRawCount, 4},
    {28, "Page Faults/sec", perf::kCounterCounter, 4},
    {1420, "IO Read Bytes/sec", perf::kBulkCount, 8},
    {1422, "IO Write Bytes/sec", perf::kBulkCount, 8},
    {1424, "IO Data Bytes/sec", perf::kBulkCount, 8},
};
constexpr std::size_t kCounterCount = std::size(kCounters);
constexpr std::uint64_t kFlagKernelThread = 0x00200000;
// Windows times count 100 ns from 1601.
constexpr std::int64_t kUnitsPerSecond = 10'000'000;
constexpr std::int64_t kSecondsFrom1601To1970 = 11'644'473'600;

std::int64_t nanoseconds(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return std::int64_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

std::int64_t fileTimeOfNanoseconds(std::int64_t sinceEpoch) {
  return kSecondsFrom1601To1970 * kUnitsPerSecond + sinceEpoch / 100;
}

bool readFile(const std::string& path, std::string* content) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.valid() && readAll(fd.get(), content);
}

// The number of the line that starts with key: only there, as a process names itself in the
// status text's first line, and may name itself after another line's key.
std::uint64_t numberAfter(std::string_view text, std::string_view key) {
  std::string_view rest;
  if (!parseStatusText(text, key, &rest)) return 0;
  std::uint64_t value = 0;
  std::from_chars(rest.data(), rest.data() + rest.size(), value);
  return value;
}

std::uint32_t openDescriptors(const std::string& folder) {
  DIR* listing = ::opendir((folder + "/fd").c_str());
  if (listing == nullptr) return 0;
  std::uint32_t count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(listing);
  return count;
}

// One process's instance; false when it is gone, is a kernel thread, or (with a start stamp)
// is a later process of the same id.
bool readInstance(const ProcessId& id, std::int64_t bootFileTime, bool countHandles,
                  PerfInstance* instance) {
  std::uint32_t pid = id.pid;
  static const std::int64_t ticksPerSecond = ::sysconf(_SC_CLK_TCK);
  static const std::uint64_t pageSize = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  std::string folder = "/proc/" + std::to_string(pid);
  std::string line;
  ProcStat stat;
  if (!readFile(folder + "/stat", &line) || !parseProcStat(line, &stat) ||
      (stat.flags & kFlagKernelThread) != 0 ||
      (id.startStamp != 0 && stat.startTicks != id.startStamp)) {
    return false;
  }
  std::string status;
  std::string io;
  readFile(folder + "/status", &status);
  readFile(folder + "/io", &io);  // the agent's own user's, or all with the right to trace
  auto units = [&](std::uint64_t ticks) {
    return static_cast<std::uint64_t>(ticks) * (kUnitsPerSecond / ticksPerSecond);
  };
  std::uint64_t read = numberAfter(io, "rchar:");
  std::uint64_t written = numberAfter(io, "wchar:");
  const std::uint64_t values[kCounterCount] = {
      pid,
      units(stat.userTicks + stat.systemTicks),
      units(stat.userTicks),
      units(stat.systemTicks),
      static_cast<std::uint64_t>(bootFileTime + static_cast<std::int64_t>(units(stat.startTicks))),
      (numberAfter(status, "RssAnon:") + numberAfter(status, "VmSwap:")) * 1024,
      stat.residentPages * pageSize,
      stat.virtualBytes,
      stat.threads,
      countHandles ? openDescriptors(folder) : 0,
      stat.minorFaults + stat.majorFaults,
      read,
      written,
      read + written,
  };
  instance->counters.assign(8 + 8 * kCounterCount, 0);
  for (std::size_t i = 0; i < kCounterCount; ++i) {
    putLittleEndian(&instance->counters[8 + 8 * i], values[i], kCounters[i].size);
  }
  for (char c : stat.command) {
    instance->name.push_back(static_cast<unsigned char>(c) < 0x80 ? char16_t(c) : u'?');
  }
  return true;
}

// The "Process" object's counters, read from /proc.
class ProcPerformanceCounters : public PerformanceCounters {
 public:
  const std::vector<std::pair<std::uint32_t, std::string>>& englishCounterNames() override;
  std::uint32_t lastCounterIndex() override { return englishCounterNames().back().first; }
  bool readProcessData(const std::vector<ProcessId>* processes, bool countHandles,
                       std::vector<std::uint8_t>* block) override;
};

}  // namespace

const std::vector<std::pair<std::uint32_t, std::string>>&
ProcPerformanceCounters::englishCounterNames() {
  static const auto* names = [] {
    auto* table =
        new std::vector<std::pair<std::uint32_t, std::string>>{{kProcessObjectIndex, "Process"}};
    for (const Counter& counter : kCounters) table->emplace_back(counter.index, counter.name);
    std::sort(table->begin(), table->end());
    return table;
  }();
  return *names;
}

bool ProcPerformanceCounters::readProcessData(const std::vector<ProcessId>* processes,
                                              bool countHandles, std::vector<std::uint8_t>* block) {
  std::vector<ProcessId> all;
  if (processes == nullptr) {
    DIR* listing = ::opendir("/proc");
    if (listing == nullptr) return failWith(errno);
    while (const dirent* entry = ::readdir(listing)) {
      std::uint32_t pid = 0;
      std::string_view name = entry->d_name;
      auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
      if (error == std::errc() && end == name.data() + name.size() && pid != 0) {
        all.push_back({pid, 0});
      }
    }
    ::closedir(listing);
    processes = &all;
  }
  std::int64_t now = nanoseconds(CLOCK_REALTIME);
  PerfData data;
  data.perfTime = nanoseconds(CLOCK_MONOTONIC);
  data.perfFreq = 1'000'000'000;
  data.perfTime100nSec = fileTimeOfNanoseconds(now);
  PerfObject process;
  process.titleIndex = kProcessObjectIndex;
  process.perfTime = data.perfTime100nSec;
  process.perfFreq = kUnitsPerSecond;
  for (std::size_t i = 0; i < kCounterCount; ++i) {
    process.counters.push_back({kCounters[i].index, kCounters[i].type, kCounters[i].size,
                                static_cast<std::uint32_t>(8 + 8 * i)});
  }
  std::int64_t bootFileTime = fileTimeOfNanoseconds(now - nanoseconds(CLOCK_BOOTTIME));
  for (const ProcessId& id : *processes) {
    PerfInstance instance;
    if (readInstance(id, bootFileTime, countHandles, &instance)) {
      process.instances.push_back(std::move(instance));
    }
  }
  data.objects.push_back(std::move(process));
  *block = buildPerfDataBlock(data);
  return true;
}

PerformanceCounters& systemPerformanceCounters() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* counters = new ProcPerformanceCounters();
  return *counters;
}

}  // namespace Vantor::platform
