// The database the reports are made from: one small interface, an embedded SQLite file for one
// machine and a PostgreSQL server for a fleet, with the same tables. Failures throw
// ReportError with the database's own words. Used by one thread at a time.
#ifndef TARNWICK_REPORT_REPORTDATABASE_H_
#define TARNWICK_REPORT_REPORTDATABASE_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "usage/DataRecords.h"

namespace Vantor::report {

class ReportError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One usage interval as the report reads it back.
struct IntervalRow {
  std::string product;
  std::string user;
  std::string computer;
  std::string timeClass;
  std::int64_t start = 0;
  std::int64_t length = 0;
};

// Which intervals a report reads: those that overlap [from, to), of the products matching a
// pattern ('*' any text, '?' one character) when one is given.
struct IntervalQuery {
  std::int64_t from = 0;
  std::int64_t to = 0;
  std::optional<std::string> productPattern;
};

class ReportDatabase {
 public:
  virtual ~ReportDatabase() = default;

  // Ends a load: makes the report's index if it is missing (a load that stored as many
  // intervals as a quarter of those it found went on without it; one that was stopped may have
  // left it out), and brings the planner's counts up to date.
  virtual void finishLoad() = 0;

  // Stores a data file's records, all or none, under its digest, in the batch under way (one
  // begins when none is). False (and nothing stored) when a file of that digest was loaded
  // before, in this batch or an earlier one. The usage intervals may be held until commit.
  virtual bool storeFile(const std::string& digest, const std::string& name,
                         DataRecords&& records) = 0;
  // Makes the files of the batch durable, all at once: one commit for many small files. A
  // batch never committed (the program ended first), or whose commit fails, is as if never
  // stored.
  virtual void commit() = 0;

  // Calls take for each interval the query names, ordered by product, then start.
  virtual void eachInterval(const IntervalQuery& query,
                            const std::function<void(const IntervalRow&)>& take) = 0;
};

// Whether a load that has stored loaded intervals beside stored ones goes faster by making the
// report's index again after it: entries put one by one into a large index land all over it,
// and one sort at the end is several times faster.
inline bool loadsFasterWithoutIndex(std::uint64_t loaded, std::uint64_t stored) {
  return loaded >= stored / 4;
}

// Loading makes the tables (and a SQLite file) when missing; a report only reads, so a
// mistyped name fails instead of making an empty database, and read access is enough.
enum class DatabaseUse { kLoad, kReport };

// A SQLite file, or a "postgresql://" URL.
std::unique_ptr<ReportDatabase> openReportDatabase(const std::string& name, DatabaseUse use);

std::unique_ptr<ReportDatabase> openSqliteDatabase(const std::string& path, DatabaseUse use);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_REPORTDATABASE_H_
