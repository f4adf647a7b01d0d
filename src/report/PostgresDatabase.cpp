// The reports' database on a PostgreSQL server, for a fleet. The same tables as the SQLite
// file; the usage intervals are partitioned by month, so a year of a large site stays fast to
// load and to query, and a file's records go in with COPY, in one transaction.
#include <libpq-fe.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <set>

#include "foundation/TextUtils.h"
#include "report/PendingUsage.h"
#include "report/ReportDatabase.h"
#include "report/SqlText.h"

namespace Vantor::report {

namespace {

constexpr char kOwnTables[] = R"sql(
CREATE TABLE IF NOT EXISTS data_file (
  id BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
  digest TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  loaded_at BIGINT NOT NULL
);
)sql";

// A result, cleared with its scope.
class Result {
 public:
  explicit Result(PGresult* result) : result_(result) {}
  ~Result() { PQclear(result_); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
  PGresult* get() const { return result_; }
  ExecStatusType status() const { return PQresultStatus(result_); }

 private:
  PGresult* result_;
};

// The UTC month [start, end) that holds second, as the partition bounds.
std::pair<std::int64_t, std::int64_t> monthOf(std::int64_t second, std::string* name) {
  std::time_t time = static_cast<std::time_t>(second);
  std::tm fields{};
  gmtime_r(&time, &fields);
  char text[64];
  std::snprintf(text, sizeof text, "usage_interval_y%04dm%02d", fields.tm_year + 1900,
                fields.tm_mon + 1);
  *name = text;
  fields.tm_mday = 1;
  fields.tm_hour = fields.tm_min = fields.tm_sec = 0;
  std::int64_t start = timegm(&fields);
  fields.tm_mon += 1;
  return {start, static_cast<std::int64_t>(timegm(&fields))};
}

// COPY's text form of a value: the escapes COPY reads back, and \N for none.
void appendField(std::string& row, std::string_view raw) {
  bool ascii = std::all_of(raw.begin(), raw.end(),
                           [](unsigned char c) { return c != 0 && c < 0x80; });
  std::string checked = ascii ? std::string() : TextUtils::validUtf8(raw);  // ASCII is UTF-8 as it is
  for (char c : ascii ? raw : std::string_view(checked)) {
    switch (c) {
      case '\\': row += "\\\\"; break;
      case '\t': row += "\\t"; break;
      case '\n': row += "\\n"; break;
      case '\r': row += "\\r"; break;
      default: row.push_back(c);
    }
  }
  row.push_back('\t');
}

void appendNumber(std::string& row, std::int64_t value) {
  char text[24];
  row.append(text, std::to_chars(text, text + sizeof text, value).ptr);
  row.push_back('\t');
}

void appendNumber(std::string& row, double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.17g", value);
  appendField(row, text);
}

void appendStatus(std::string& row, const std::optional<std::int32_t>& status) {
  if (status) {
    appendNumber(row, std::int64_t{*status});
  } else {
    row += "\\N\t";
  }
}

void endRow(std::string& row) { row.back() = '\n'; }

// The report's index in byte order, the order it reads in (INCLUDE: read from the index alone).
constexpr char kReportIndex[] =
    "CREATE INDEX IF NOT EXISTS usage_interval_for_report ON usage_interval (product COLLATE "
    "\"C\", start_time) INCLUDE (length, user_name, computer, time_class)";

class PostgresDatabase : public ReportDatabase {
 public:
  PostgresDatabase(const std::string& url, DatabaseUse use)
      : connection_(PQconnectdb(url.c_str())) {
    if (PQstatus(connection_) != CONNECTION_OK) {
      std::string why = PQerrorMessage(connection_);
      PQfinish(connection_);
      throw ReportError("PostgreSQL: cannot connect: " + trimmed(why));
    }
    // The server takes UTF-8 only: bytes that are not (a file name of another character set)
    // arrive as U+FFFD.
    execute("SET client_encoding = 'UTF8'; SET client_min_messages = warning");
    if (use == DatabaseUse::kReport) return;
    execute("SELECT pg_advisory_lock(7302)");  // one loader makes the tables at a time
    execute(kOwnTables);
    execute(std::string(kUsageTable) + " PARTITION BY RANGE (start_time)");
    execute(kDetailTables);
    execute("SELECT pg_advisory_unlock(7302)");
  }
  ~PostgresDatabase() override { PQfinish(connection_); }

  void finishLoad() override {
    // Loaders make and drop the index in turns, as they store their batches.
    execute("BEGIN; SELECT pg_advisory_xact_lock(7303)");
    try {
      execute(kReportIndex);
      execute("COMMIT");
    } catch (...) {
      PQclear(PQexec(connection_, "ROLLBACK"));
      throw;
    }
    // Marks the new rows visible to all, so the report reads the index alone, and counts them
    // for the planner and the next load.
    if (pendingUsage_.loadedAny()) execute("VACUUM (ANALYZE) usage_interval");
  }

  bool storeFile(const std::string& digest, const std::string& name,
                 DataRecords&& records) override {
    if (!inBatch_) {
      // One loader's batch at a time: a partition one makes would otherwise wait on the files
      // table another holds, while that one waits on the partition.
      execute("BEGIN; SELECT pg_advisory_xact_lock(7303)");
      inBatch_ = true;
    }
    execute("SAVEPOINT file");
    try {
      std::string storedName = TextUtils::validUtf8(name);
      const char* values[] = {digest.c_str(), storedName.c_str()};
      Result inserted(PQexecParams(connection_,
                                   "INSERT INTO data_file (digest, name, loaded_at) VALUES ($1, "
                                   "$2, extract(epoch FROM now())::bigint) ON CONFLICT (digest) "
                                   "DO NOTHING RETURNING id",
                                   2, nullptr, values, nullptr, nullptr, 0));
      if (inserted.status() != PGRES_TUPLES_OK) fail();
      if (PQntuples(inserted.get()) == 0) {
        execute("RELEASE SAVEPOINT file");
        return false;
      }
      std::string id = PQgetvalue(inserted.get(), 0, 0);
      copyModules(id, records);
      copyPerformance(id, records);
      execute("RELEASE SAVEPOINT file");
      pendingUsage_.add(std::strtoll(id.c_str(), nullptr, 10), std::move(records.usage));
      return true;
    } catch (...) {
      PQclear(PQexec(connection_, "ROLLBACK TO SAVEPOINT file; RELEASE SAVEPOINT file"));
      throw;
    }
  }

  void commit() override {
    if (!inBatch_) return;
    inBatch_ = false;
    try {
      if (pendingUsage_.size() > 0) {
        if (pendingUsage_.dropsIndexNow([this] { return storedIntervals(); })) {
          execute("DROP INDEX IF EXISTS usage_interval_for_report");
        }
        copyUsage();
      }
      execute("COMMIT");
    } catch (...) {
      pendingUsage_.rolledBack();
      PQclear(PQexec(connection_, "ROLLBACK"));
      throw;
    }
    pendingUsage_.committed();
  }

  void eachInterval(const IntervalQuery& query,
                    const std::function<void(const IntervalRow&)>& take) override {
    // Bytes in order, as SQLite orders them, whatever the database's collation.
    std::string sql = intervalsQuery(query.productPattern.has_value(), "\"C\"");
    std::string to = std::to_string(query.to);
    std::string from = std::to_string(query.from);
    std::string like = query.productPattern ? likePattern(*query.productPattern) : "";
    const char* values[] = {to.c_str(), from.c_str(), like.c_str()};
    // Through a cursor, a batch at a time: a year of a large site is never held whole, and a
    // batch costs one round trip, not one a row. The next batch is asked for before this one
    // is taken, so the server reads it meanwhile.
    execute("BEGIN");
    try {
      Result declared(PQexecParams(connection_, ("DECLARE intervals NO SCROLL CURSOR FOR " + sql).c_str(),
                                   query.productPattern ? 3 : 2, nullptr, values, nullptr,
                                   nullptr, 0));
      if (declared.status() != PGRES_COMMAND_OK) fail();
      auto askForBatch = [this] {
        if (PQsendQuery(connection_, "FETCH FORWARD 20000 FROM intervals") != 1) fail();
      };
      askForBatch();
      IntervalRow row;
      while (true) {
        Result batch(PQgetResult(connection_));
        while (PGresult* end = PQgetResult(connection_)) PQclear(end);
        if (batch.status() != PGRES_TUPLES_OK) fail();
        int rows = PQntuples(batch.get());
        if (rows == 0) break;
        askForBatch();
        for (int r = 0; r < rows; ++r) {
          row.product.assign(PQgetvalue(batch.get(), r, 0),
                             static_cast<std::size_t>(PQgetlength(batch.get(), r, 0)));
          row.user.assign(PQgetvalue(batch.get(), r, 1),
                          static_cast<std::size_t>(PQgetlength(batch.get(), r, 1)));
          row.computer.assign(PQgetvalue(batch.get(), r, 2),
                              static_cast<std::size_t>(PQgetlength(batch.get(), r, 2)));
          row.timeClass.assign(PQgetvalue(batch.get(), r, 3),
                               static_cast<std::size_t>(PQgetlength(batch.get(), r, 3)));
          row.start = std::strtoll(PQgetvalue(batch.get(), r, 4), nullptr, 10);
          row.length = std::strtoll(PQgetvalue(batch.get(), r, 5), nullptr, 10);
          take(row);
        }
      }
      execute("COMMIT");
    } catch (...) {
      while (PGresult* unread = PQgetResult(connection_)) PQclear(unread);
      PQclear(PQexec(connection_, "ROLLBACK"));
      throw;
    }
  }

 private:
  static std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  [[noreturn]] void fail() {
    throw ReportError("PostgreSQL: " + trimmed(PQerrorMessage(connection_)));
  }

  void execute(const std::string& sql) {
    Result result(PQexec(connection_, sql.c_str()));
    if (result.status() != PGRES_COMMAND_OK && result.status() != PGRES_TUPLES_OK) fail();
  }

  std::uint64_t storedIntervals() {
    // The planner's count, kept by ANALYZE: a count of the rows would read them all.
    Result stored(PQexec(connection_,
                         "SELECT coalesce(sum(greatest(c.reltuples, 0)), 0)::bigint FROM "
                         "pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                         "WHERE i.inhparent = 'usage_interval'::regclass"));
    if (stored.status() != PGRES_TUPLES_OK) fail();
    return std::strtoull(PQgetvalue(stored.get(), 0, 0), nullptr, 10);
  }

  // A partition for each month the batch's intervals start in; loaders that make the same one
  // at once wait for each other.
  void makePartitions(const std::vector<PendingUsage::Entry>& entries) {
    std::set<std::string> made;
    for (const PendingUsage::Entry& entry : entries) {
      std::string name;
      auto [start, end] = monthOf(entry.usage->start, &name);
      if (!made.insert(name).second) continue;
      execute("CREATE TABLE IF NOT EXISTS " + name + " PARTITION OF usage_interval FOR VALUES FROM (" +
              std::to_string(start) + ") TO (" + std::to_string(end) + ")");
    }
  }

  // COPY of count rows, each written by appendRow(i, rows). The rows go to the server in
  // pieces as they are written, so it stores one piece while the next is made.
  void copy(const char* command, std::size_t count,
            const std::function<void(std::size_t, std::string&)>& appendRow) {
    constexpr std::size_t kPieceBytes = 1 << 20;
    Result started(PQexec(connection_, command));
    if (started.status() != PGRES_COPY_IN) fail();
    std::string rows;
    for (std::size_t i = 0; i < count; ++i) {
      appendRow(i, rows);
      if (rows.size() < kPieceBytes && i + 1 < count) continue;
      if (PQputCopyData(connection_, rows.data(), static_cast<int>(rows.size())) != 1) fail();
      rows.clear();
    }
    if (PQputCopyEnd(connection_, nullptr) != 1) fail();
    Result ended(PQgetResult(connection_));
    if (ended.status() != PGRES_COMMAND_OK) fail();
    while (PGresult* more = PQgetResult(connection_)) PQclear(more);
  }

  void copyUsage() {
    std::vector<PendingUsage::Entry> entries = pendingUsage_.entries();
    makePartitions(entries);
    copy("COPY usage_interval FROM STDIN", entries.size(), [&](std::size_t i, std::string& rows) {
      const UsageInterval& usage = *entries[i].usage;
      appendNumber(rows, entries[i].fileId);
      appendNumber(rows, usage.start);
      appendNumber(rows, usage.length);
      appendField(rows, usage.first ? "t" : "f");
      for (const std::string* field :
           {&usage.workgroup, &usage.computer, &usage.architecture, &usage.system, &usage.file,
            &usage.product, &usage.directory, &usage.timeClass, &usage.user}) {
        appendField(rows, *field);
      }
      appendStatus(rows, usage.exitStatus);
      endRow(rows);
    });
  }

  void copyModules(const std::string& id, const DataRecords& records) {
    copy("COPY module_stretch FROM STDIN", records.modules.size(),
         [&](std::size_t i, std::string& rows) {
           const ModuleStretch& module = records.modules[i];
           appendField(rows, id);
           appendNumber(rows, module.firstSeen);
           appendNumber(rows, module.lifetime);
           for (const std::string* field :
                {&module.workgroup, &module.computer, &module.architecture, &module.system,
                 &module.module, &module.file, &module.product, &module.directory,
                 &module.timeClass, &module.user}) {
             appendField(rows, *field);
           }
           endRow(rows);
         });
  }

  void copyPerformance(const std::string& id, const DataRecords& records) {
    copy("COPY performance FROM STDIN", records.performance.size(),
         [&](std::size_t i, std::string& rows) {
           const PerformanceFigures& figures = records.performance[i];
           appendField(rows, id);
           appendNumber(rows, figures.start);
           for (const std::string* field :
                {&figures.user, &figures.computer, &figures.architecture, &figures.system,
                 &figures.file, &figures.workgroup, &figures.timeClass, &figures.product}) {
             appendField(rows, *field);
           }
           appendStatus(rows, figures.exitStatus);
           for (double value : {figures.processorSeconds, figures.elapsedSeconds,
                                figures.ioBytesPerSecond, figures.processorShare,
                                figures.memoryShare, figures.memorySeconds}) {
             appendNumber(rows, value);
           }
           endRow(rows);
         });
  }

  PGconn* connection_;
  bool inBatch_ = false;
  PendingUsage pendingUsage_;
};

}  // namespace

std::unique_ptr<ReportDatabase> openReportDatabase(const std::string& name, DatabaseUse use) {
  if (name.starts_with("postgresql://") || name.starts_with("postgres://")) {
    return std::make_unique<PostgresDatabase>(name, use);
  }
  return openSqliteDatabase(name, use);
}

}  // namespace Vantor::report
