// What a site meters for: per product (and, if asked, per user or computer) the licence count
// (the most users running the product at one moment), the most processes, who and where, and
// the hours of use. Computed in one pass over the intervals in start order, as SQL cannot do
// well over millions of them.
#ifndef TARNWICK_REPORT_USAGEREPORT_H_
#define TARNWICK_REPORT_USAGEREPORT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/ReportDatabase.h"

namespace Vantor::report {

enum class Grouping { kProduct, kUser, kComputer };

struct ProductUsage {
  std::string product;
  std::string group;  // the user or the computer when grouped by one; empty otherwise
  std::size_t peakUsers = 0;
  std::int64_t peakUsersAt = 0;  // the first moment the peak was reached, UTC seconds
  std::size_t peakProcesses = 0;
  std::size_t users = 0;
  std::size_t computers = 0;
  double hours = 0;
  double primeHours = 0;     // of intervals whose start was prime time
  double nonPrimeHours = 0;  // of intervals whose start was non-prime time
};

// Where a record's process ran within the period, [start, end); false when it ran outside.
// A record shorter than its second (the agent counts whole seconds) ran within that second.
bool runningInPeriod(const IntervalRow& row, const IntervalQuery& query, std::int64_t* start,
                     std::int64_t* end);

// The usage in [query.from, query.to): intervals are cut to the period, an interval counts
// from its start up to (not including) its end, so the records of one process that meet at a
// delivery count as one running process. Ordered by product, then group.
std::vector<ProductUsage> computeUsage(ReportDatabase& database, const IntervalQuery& query,
                                       Grouping grouping);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_USAGEREPORT_H_
