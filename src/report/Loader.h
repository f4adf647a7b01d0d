// Loads data files into the reports' database: each file whole or not at all, each content
// once whatever its name, a damaged file refused with its line and the rest loaded.
#ifndef TARNWICK_REPORT_LOADER_H_
#define TARNWICK_REPORT_LOADER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "report/ReportDatabase.h"

namespace Vantor::report {

struct LoadSummary {
  std::size_t loaded = 0;         // files whose records went in
  std::size_t alreadyLoaded = 0;  // files whose content was in already
  std::size_t refused = 0;        // damaged or unreadable files, and folders that could not be read
  std::size_t notMoved = 0;       // loaded, but not moved as asked
  std::uint64_t records = 0;      // records that went in
  bool indexMissing = false;      // the report's index could not be made again after the load
};

// The largest data file read: an agent's delivery is far smaller.
inline constexpr std::uint64_t kMaxDataFileBytes = std::uint64_t{1} << 30;

// Loads the files named, and every ".data" file under the folders named, in name order.
// Each refusal is a line "FILE:LINE: reason" on errors. With moveTo, a loaded file (or one
// loaded before) is moved into that folder afterwards; a refused one stays where it is.
LoadSummary loadDataFiles(platform::Env& env, ReportDatabase& database,
                          const std::vector<std::string>& paths,
                          const std::optional<std::string>& moveTo, std::ostream& errors);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_LOADER_H_
