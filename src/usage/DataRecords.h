// Reads the records of the agent's data files, as the process map, the module writer and the
// performance writer write them: two lines each, the first "1:<second>:<kind>" and ten fields
// each after ":0:", the second the figures. One parser for the report tool and the tests; a
// pure function over the file's bytes, so it can be fuzzed.
#ifndef TARNWICK_USAGE_DATARECORDS_H_
#define TARNWICK_USAGE_DATARECORDS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vantor {

enum class RecordKind { kUsage = 31, kModule = 53, kPerformance = 87 };

// A process's run of a program over one interval.
struct UsageInterval {
  std::int64_t start = 0;  // UTC seconds
  std::int64_t length = 0;  // seconds
  bool first = true;        // the process's first record (later ones continue it)
  std::string workgroup, computer, architecture, system, file, product, directory, timeClass,
      user;
  std::optional<std::int32_t> exitStatus;  // none while it ran on
};

// A module a process had loaded, over one stretch.
struct ModuleStretch {
  std::int64_t firstSeen = 0;
  std::int64_t lifetime = 0;
  std::string workgroup, computer, architecture, system, module, file, product, directory,
      timeClass, user;
};

// What a process used while it was measured.
struct PerformanceFigures {
  std::int64_t start = 0;
  std::string user, computer, architecture, system, file, workgroup, timeClass, product;
  std::optional<std::int32_t> exitStatus;
  double processorSeconds = 0, elapsedSeconds = 0, ioBytesPerSecond = 0, processorShare = 0,
         memoryShare = 0, memorySeconds = 0;
};

struct DataRecords {
  std::vector<UsageInterval> usage;
  std::vector<ModuleStretch> modules;
  std::vector<PerformanceFigures> performance;
};

// Where a file is damaged, and how.
struct RecordDamage {
  std::size_t line = 0;  // 1-based
  std::string reason;
};

// The records of a data file's text; nullopt and the first damage when a line is not a record
// of a known kind, a record is cut short, a field does not parse, a length or figure is
// negative or not a number, or a record starts before 1970 or ends after latestStart (UTC
// seconds: a clock far off, or a forged file). A file is taken whole or not at all.
std::optional<DataRecords> readDataRecords(std::string_view text, std::int64_t latestStart,
                                           RecordDamage* damage);

}  // namespace Vantor

#endif  // TARNWICK_USAGE_DATARECORDS_H_
