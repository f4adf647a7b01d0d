// What the records of every data stream share: fields that cannot break a record, the
// executable path split into file and directory, and the machine's facts made safe once.
#ifndef TARNWICK_USAGE_RECORDFIELDS_H_
#define TARNWICK_USAGE_RECORDFIELDS_H_

#include <string>
#include <string_view>

#include "foundation/InventoryOps.h"

namespace Vantor {

// Colons separate fields and line ends records: neither may stand in a path or a name.
std::string recordField(std::string_view text);

// The longest name a report sorts and counts by (product, user, computer), in bytes as stored,
// where a byte that is not UTF-8 takes three: a database indexes such names.
inline constexpr std::size_t kLongestReportName = 512;
// A record field of a name reports sort by: one longer than kLongestReportName as stored is
// made UTF-8, cut on a character, and ends in "...", so that reports take its record.
std::string reportNameField(std::string_view text);

// An executable path as two record fields: the part after its last separator (the whole path
// if it has none), and the part up to and with it (empty if none).
struct ExecutableFields {
  std::string file;
  std::string directory;
};
ExecutableFields executableFields(const std::string& path);

// The domain, computer, architecture and operating system as every record carries them.
InventoryOps::StaticInfo recordFacts(InventoryOps::StaticInfo facts);

}  // namespace Vantor

#endif  // TARNWICK_USAGE_RECORDFIELDS_H_
