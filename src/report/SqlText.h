// Text that both databases read the same way.
#ifndef TARNWICK_REPORT_SQLTEXT_H_
#define TARNWICK_REPORT_SQLTEXT_H_

#include <string>
#include <string_view>

namespace Vantor::report {

// The usage intervals' table, alike on both but for PostgreSQL's partitions. Here and in the
// detail tables, file_id is the data_file row the record came from; it is not declared a
// foreign key: the loader writes both in one transaction, and PostgreSQL's check of each row
// took half of its load time.
inline constexpr char kUsageTable[] = R"sql(CREATE TABLE IF NOT EXISTS usage_interval (
  file_id BIGINT NOT NULL,
  start_time BIGINT NOT NULL,
  length BIGINT NOT NULL,
  first_record BOOLEAN NOT NULL,
  workgroup TEXT NOT NULL, computer TEXT NOT NULL, architecture TEXT NOT NULL,
  system TEXT NOT NULL, executable TEXT NOT NULL, product TEXT NOT NULL,
  directory TEXT NOT NULL, time_class TEXT NOT NULL, user_name TEXT NOT NULL,
  exit_status INTEGER
))sql";
// SQLite's index for the report: it holds every column the report reads, so the report reads
// the index alone, in order.
inline constexpr char kSqliteUsageIndex[] =
    "CREATE INDEX IF NOT EXISTS usage_interval_for_report ON usage_interval (product, start_time, "
    "length, user_name, computer, time_class);";

// The tables of module and performance records, alike on both databases (the intervals and
// the files differ: PostgreSQL partitions the one and numbers the other its own way).
inline constexpr char kDetailTables[] = R"sql(
CREATE TABLE IF NOT EXISTS module_stretch (
  file_id BIGINT NOT NULL,
  first_seen BIGINT NOT NULL,
  lifetime BIGINT NOT NULL,
  workgroup TEXT NOT NULL, computer TEXT NOT NULL, architecture TEXT NOT NULL,
  system TEXT NOT NULL, module TEXT NOT NULL, executable TEXT NOT NULL, product TEXT NOT NULL,
  directory TEXT NOT NULL, time_class TEXT NOT NULL, user_name TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS performance (
  file_id BIGINT NOT NULL,
  start_time BIGINT NOT NULL,
  user_name TEXT NOT NULL, computer TEXT NOT NULL, architecture TEXT NOT NULL,
  system TEXT NOT NULL, executable TEXT NOT NULL, workgroup TEXT NOT NULL,
  time_class TEXT NOT NULL, product TEXT NOT NULL, exit_status INTEGER,
  processor_seconds DOUBLE PRECISION NOT NULL, elapsed_seconds DOUBLE PRECISION NOT NULL,
  io_bytes_per_second DOUBLE PRECISION NOT NULL, processor_share DOUBLE PRECISION NOT NULL,
  memory_share DOUBLE PRECISION NOT NULL, memory_seconds DOUBLE PRECISION NOT NULL
);
)sql";

// A product pattern ('*' any text, '?' one character, everything else itself) as a LIKE
// pattern with '\' as its escape character.
std::string likePattern(std::string_view pattern);

// The query of the intervals IntervalQuery names, in product (byte order, by collation) and
// start order, with parameters $1 (to), $2 (from) and, for a pattern, $3 (its LIKE form).
std::string intervalsQuery(bool withPattern, std::string_view byteOrderCollation);

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_SQLTEXT_H_
