// The usage report as one self-contained page: the table, and per product a chart of the users
// running it over the period (the most in each hour, or each day for periods over 60 days),
// its peak marked. The chart library is inlined, so the page opens anywhere without a network.
#ifndef TARNWICK_REPORT_HTMLREPORT_H_
#define TARNWICK_REPORT_HTMLREPORT_H_

#include <cstdint>
#include <string>
#include <vector>

#include "report/ReportDatabase.h"
#include "report/UsageReport.h"

namespace Vantor::report {

// The most users running each product in each bucket of the period.
struct UserTimeline {
  std::string product;
  std::int64_t firstBucket = 0;  // UTC second the first bucket starts
  std::int64_t bucketSeconds = 3600;
  std::vector<std::size_t> peaks;
};

// Days (for periods over 60 days) begin at local midnight, or UTC midnight with utc.
std::vector<UserTimeline> computeTimelines(ReportDatabase& database, const IntervalQuery& query,
                                           bool utc);

// Writes the page to path; empty on success, else what went wrong.
std::string writeHtmlReport(ReportDatabase& database, const IntervalQuery& query,
                            const std::vector<ProductUsage>& usage, Grouping grouping, bool utc,
                            const std::string& path);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_HTMLREPORT_H_
