// The reports' database in one SQLite file. A file's records go in through prepared
// statements in one transaction, so a file is stored whole or not at all, fast.
#include <sqlite3.h>

#include "report/PendingUsage.h"
#include "report/ReportDatabase.h"
#include "report/SqlText.h"

namespace Vantor::report {

namespace {

constexpr char kOwnTables[] = R"sql(
CREATE TABLE IF NOT EXISTS data_file (
  id INTEGER PRIMARY KEY,
  digest TEXT NOT NULL UNIQUE,
  name TEXT NOT NULL,
  loaded_at BIGINT NOT NULL
);
)sql";

// A prepared statement, finalized with its scope.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) fail();
  }
  ~Statement() { sqlite3_finalize(statement_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(statement_, index, value));
    return *this;
  }
  Statement& bind(int index, double value) {
    check(sqlite3_bind_double(statement_, index, value));
    return *this;
  }
  Statement& bind(int index, const std::string& text) {
    check(sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                            SQLITE_STATIC));
    return *this;
  }
  Statement& bind(int index, const std::optional<std::int32_t>& value) {
    check(value ? sqlite3_bind_int(statement_, index, *value) : sqlite3_bind_null(statement_, index));
    return *this;
  }
  // True while a row comes.
  bool step() {
    int result = sqlite3_step(statement_);
    if (result == SQLITE_ROW) return true;
    if (result != SQLITE_DONE) fail();
    return false;
  }
  void run() {
    step();
    sqlite3_reset(statement_);
  }
  std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
  // Into a string the caller keeps, so a row costs no allocation once the strings have grown.
  void text(int column, std::string* into) {
    const unsigned char* value = sqlite3_column_text(statement_, column);
    into->assign(value == nullptr ? "" : reinterpret_cast<const char*>(value),
                 static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
  }

 private:
  void check(int result) {
    if (result != SQLITE_OK) fail();
  }
  [[noreturn]] void fail() { throw ReportError(std::string("SQLite: ") + sqlite3_errmsg(db_)); }

  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

class SqliteDatabase : public ReportDatabase {
 public:
  SqliteDatabase(const std::string& path, DatabaseUse use) {
    int flags = use == DatabaseUse::kLoad ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE
                                          : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
      std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw ReportError("SQLite: cannot open " + path + ": " + why);
    }
    // Another loader may hold the file for a while, up to the making of an index over a large
    // site's years: wait for it rather than fail.
    sqlite3_busy_timeout(db_, use == DatabaseUse::kLoad ? 15 * 60000 : 60000);
    execute("PRAGMA case_sensitive_like = ON; PRAGMA cache_size = -262144;");
    if (use == DatabaseUse::kReport) return;
    // FULL: a committed batch survives a power cut, so its files may be moved away after.
    execute("PRAGMA page_size = 16384; PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;"
            "PRAGMA wal_autocheckpoint = 10000;");
    execute(kOwnTables);
    execute(kUsageTable);
    execute(kDetailTables);
  }
  ~SqliteDatabase() override { sqlite3_close(db_); }

  void finishLoad() override { makeReportIndex(); }

  bool storeFile(const std::string& digest, const std::string& name,
                 DataRecords&& records) override {
    // IMMEDIATE: the check for the digest and the insert are one step against other loaders.
    if (!inBatch_) execute("BEGIN IMMEDIATE");
    inBatch_ = true;
    execute("SAVEPOINT file");
    try {
      Statement known(db_, "SELECT 1 FROM data_file WHERE digest = ?1");
      known.bind(1, digest);
      if (known.step()) {
        execute("RELEASE file");
        return false;
      }
      Statement file(db_, "INSERT INTO data_file (digest, name, loaded_at) VALUES (?1, ?2, "
                          "CAST(strftime('%s', 'now') AS INTEGER))");
      file.bind(1, digest).bind(2, name).run();
      std::int64_t id = sqlite3_last_insert_rowid(db_);
      storeModules(id, records);
      storePerformance(id, records);
      execute("RELEASE file");
      pendingUsage_.add(id, std::move(records.usage));
      return true;
    } catch (...) {
      sqlite3_exec(db_, "ROLLBACK TO file; RELEASE file", nullptr, nullptr, nullptr);
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
        storeUsage();
      }
      execute("COMMIT");
    } catch (...) {
      pendingUsage_.rolledBack();
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      throw;
    }
    pendingUsage_.committed();
  }

  void eachInterval(const IntervalQuery& query,
                    const std::function<void(const IntervalRow&)>& take) override {
    // Parameters named $N are numbered in their order: $1, $2, $3 are 1, 2, 3 here too.
    std::string sql = intervalsQuery(query.productPattern.has_value(), "BINARY");
    Statement rows(db_, sql.c_str());
    rows.bind(1, query.to).bind(2, query.from);
    std::string like = query.productPattern ? likePattern(*query.productPattern) : "";
    if (query.productPattern) rows.bind(3, like);
    IntervalRow row;
    while (rows.step()) {
      rows.text(0, &row.product);
      rows.text(1, &row.user);
      rows.text(2, &row.computer);
      rows.text(3, &row.timeClass);
      row.start = rows.integer(4);
      row.length = rows.integer(5);
      take(row);
    }
  }

 private:
  void execute(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::string why = error != nullptr ? error : sqlite3_errmsg(db_);
      sqlite3_free(error);
      throw ReportError("SQLite: " + why);
    }
  }

  std::uint64_t storedIntervals() {
    // Rows are never deleted: the highest row number is how many there are.
    Statement stored(db_, "SELECT coalesce(max(rowid), 0) FROM usage_interval");
    stored.step();
    return static_cast<std::uint64_t>(stored.integer(0));
  }

  void makeReportIndex() {
    // Sorted in runs a core's cache holds, merged on two threads: about twice as fast as one
    // sort in the whole page cache.
    execute("PRAGMA threads = 2; PRAGMA cache_size = -32768;");
    execute(kSqliteUsageIndex);
    execute("PRAGMA threads = 0; PRAGMA cache_size = -262144;");
  }

  void storeUsage() {
    Statement insert(db_,
                     "INSERT INTO usage_interval VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                     "?11, ?12, ?13, ?14)");
    for (const PendingUsage::Entry& entry : pendingUsage_.entries()) {
      const UsageInterval& usage = *entry.usage;
      insert.bind(1, entry.fileId).bind(2, usage.start).bind(3, usage.length);
      insert.bind(4, std::int64_t{usage.first ? 1 : 0}).bind(5, usage.workgroup);
      insert.bind(6, usage.computer).bind(7, usage.architecture).bind(8, usage.system);
      insert.bind(9, usage.file).bind(10, usage.product).bind(11, usage.directory);
      insert.bind(12, usage.timeClass).bind(13, usage.user).bind(14, usage.exitStatus).run();
    }
  }

  void storeModules(std::int64_t id, const DataRecords& records) {
    Statement insert(db_,
                     "INSERT INTO module_stretch VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                     "?11, ?12, ?13)");
    for (const ModuleStretch& module : records.modules) {
      insert.bind(1, id).bind(2, module.firstSeen).bind(3, module.lifetime);
      insert.bind(4, module.workgroup).bind(5, module.computer).bind(6, module.architecture);
      insert.bind(7, module.system).bind(8, module.module).bind(9, module.file);
      insert.bind(10, module.product).bind(11, module.directory).bind(12, module.timeClass);
      insert.bind(13, module.user).run();
    }
  }

  void storePerformance(std::int64_t id, const DataRecords& records) {
    Statement insert(db_,
                     "INSERT INTO performance VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, "
                     "?11, ?12, ?13, ?14, ?15, ?16, ?17)");
    for (const PerformanceFigures& figures : records.performance) {
      insert.bind(1, id).bind(2, figures.start).bind(3, figures.user).bind(4, figures.computer);
      insert.bind(5, figures.architecture).bind(6, figures.system).bind(7, figures.file);
      insert.bind(8, figures.workgroup).bind(9, figures.timeClass).bind(10, figures.product);
      insert.bind(11, figures.exitStatus).bind(12, figures.processorSeconds);
      insert.bind(13, figures.elapsedSeconds).bind(14, figures.ioBytesPerSecond);
      insert.bind(15, figures.processorShare).bind(16, figures.memoryShare);
      insert.bind(17, figures.memorySeconds).run();
    }
  }

  sqlite3* db_ = nullptr;
  bool inBatch_ = false;
  PendingUsage pendingUsage_;
};

}  // namespace

std::unique_ptr<ReportDatabase> openSqliteDatabase(const std::string& path, DatabaseUse use) {
  return std::make_unique<SqliteDatabase>(path, use);
}

}  // namespace Vantor::report
