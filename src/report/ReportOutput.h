// The usage report as a person reads it (an aligned table), as a spreadsheet reads it (CSV with
// a header row) and as a script reads it (a JSON array with stable keys).
#ifndef TARNWICK_REPORT_REPORTOUTPUT_H_
#define TARNWICK_REPORT_REPORTOUTPUT_H_

#include <string>
#include <vector>

#include "report/UsageReport.h"

namespace Vantor::report {

enum class ReportFormat { kText, kCsv, kJson };

// Times in ISO 8601: UTC ("Z") with utc, else local time with its offset.
std::string formatReport(const std::vector<ProductUsage>& usage, Grouping grouping,
                         ReportFormat format, bool utc);

// Seconds east of UTC of the local zone at that instant.
std::int64_t localOffsetAt(std::int64_t second);

// One moment as the report shows it.
std::string reportTime(std::int64_t second, bool utc);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_REPORTOUTPUT_H_
