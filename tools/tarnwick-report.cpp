// tarnwick-report: loads the agent's data files into a database and reports how many licences
// of each product are in use, by whom and when.
//   tarnwick-report load [--database DB] [--move-to DIR] PATH...
//   tarnwick-report report [--database DB] [--from DATE] [--to DATE] [--product PATTERN]
//                          [--by product|user|computer] [--format text|csv|json] [--utc]
//                          [--html FILE]
// Exit status: 0 success, 1 a file refused or a database error (the reason on stderr), 2 a
// wrong command line.
#include <chrono>
#include <cstdio>
#include <limits>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "foundation/DateTime.h"
#include "foundation/Exception.h"
#include "report/HtmlReport.h"
#include "report/Loader.h"
#include "report/ReportDatabase.h"
#include "report/ReportOutput.h"
#include "report/UsageReport.h"

namespace {

using namespace Vantor::report;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: tarnwick-report load [--database DB] [--move-to DIR] PATH...\n"
    "       tarnwick-report report [--database DB] [--from DATE] [--to DATE]\n"
    "                              [--product PATTERN] [--by product|user|computer]\n"
    "                              [--format text|csv|json] [--utc] [--html FILE]\n"
    "       tarnwick-report --help | --version\n"
    "\n"
    "load    reads data files (PATH a file, or a folder searched for *.data) into DB, each\n"
    "        file whole or not at all and each content once; --move-to moves loaded files.\n"
    "report  prints per product the peak of concurrent users (the licence count) and when it\n"
    "        was first reached, the peak of concurrent processes, users, computers and hours\n"
    "        of use, prime and non-prime, in [--from, --to) (dates as 2026-12-01 or\n"
    "        2026-12-01T08:00:00, local time unless --utc); --html writes a page with charts.\n"
    "DB is a SQLite file (default usage.db) or a postgresql:// URL.\n";

struct Options {
  std::string verb;
  std::string database = "usage.db";
  std::optional<std::string> moveTo;
  std::vector<std::string> paths;
  std::optional<std::string> from, to, product, html;
  Grouping grouping = Grouping::kProduct;
  ReportFormat format = ReportFormat::kText;
  bool utc = false;
};

std::optional<Options> parse(const std::vector<std::string>& args, std::string* error) {
  Options options;
  if (args.empty()) {
    *error = "no command";
    return std::nullopt;
  }
  options.verb = args[0];
  if (options.verb != "load" && options.verb != "report") {
    *error = "unknown command " + options.verb;
    return std::nullopt;
  }
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size()) return std::nullopt;
      return args[++i];
    };
    bool load = options.verb == "load";
    std::optional<std::string> given;
    if (arg == "--utc" && !load) {
      options.utc = true;
      continue;
    }
    if (arg.rfind("--", 0) != 0) {
      if (!load) {
        *error = "unexpected " + arg;
        return std::nullopt;
      }
      options.paths.push_back(arg);
      continue;
    }
    if (!(given = value())) {
      *error = arg + " needs a value";
      return std::nullopt;
    }
    if (arg == "--database") {
      options.database = *given;
    } else if (arg == "--move-to" && load) {
      options.moveTo = given;
    } else if (arg == "--from" && !load) {
      options.from = given;
    } else if (arg == "--to" && !load) {
      options.to = given;
    } else if (arg == "--product" && !load) {
      options.product = given;
    } else if (arg == "--html" && !load) {
      options.html = given;
    } else if (arg == "--by" && !load && (*given == "product" || *given == "user" ||
                                          *given == "computer")) {
      options.grouping = *given == "user"       ? Grouping::kUser
                         : *given == "computer" ? Grouping::kComputer
                                                : Grouping::kProduct;
    } else if (arg == "--format" && !load && (*given == "text" || *given == "csv" ||
                                              *given == "json")) {
      options.format = *given == "csv"    ? ReportFormat::kCsv
                       : *given == "json" ? ReportFormat::kJson
                                          : ReportFormat::kText;
    } else {
      *error = "unknown option " + arg + " " + *given;
      return std::nullopt;
    }
  }
  if (options.verb == "load" && options.paths.empty()) {
    *error = "load needs at least one PATH";
    return std::nullopt;
  }
  return options;
}

// "YYYY-MM-DD" or "YYYY-MM-DDThh:mm[:ss]", local unless utc; nullopt unless it names a real
// moment from 1970 to 2037 (a 30th of February, 24:30 or a minute 90 are refused, not moved).
std::optional<std::int64_t> momentOf(const std::string& text, bool utc) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
  bool parsed =
      (std::sscanf(text.c_str(), "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 &&
       used == static_cast<int>(text.size())) ||
      (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &year, &month, &day, &hour, &minute,
                   &used) == 5 &&
       used == static_cast<int>(text.size())) ||
      (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                   &second, &used) == 6 &&
       used == static_cast<int>(text.size()));
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
  if (!parsed || year < 1970 || year > 2037 || month < 1 || month > 12 || day < 1 ||
      day > kDays[month - 1] || (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 ||
      second > 59) {
    return std::nullopt;
  }
  Vantor::DateTimeFields fields;
  fields.year = year;
  fields.month = month;
  fields.day = day;
  fields.hour = hour;
  fields.minute = minute;
  fields.second = second;
  fields.local = utc ? 0 : 1;
  return Vantor::DateTime(fields).getValue();
}

int load(ReportDatabase& database, const Options& options) {
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  LoadSummary summary = loadDataFiles(*env, database, options.paths, options.moveTo, std::cerr);
  std::cout << "loaded " << summary.loaded << " file(s) with " << summary.records
            << " record(s); " << summary.alreadyLoaded << " loaded before; " << summary.refused
            << " refused" << std::endl;
  if (summary.refused > 0) {
    std::cerr << "tarnwick-report: " << summary.refused << " file(s) refused" << std::endl;
  }
  if (summary.notMoved > 0) {
    std::cerr << "tarnwick-report: " << summary.notMoved << " loaded file(s) not moved"
              << std::endl;
  }
  return summary.refused > 0 || summary.notMoved > 0 || summary.indexMissing ? kExitFailed
                                                                             : kExitOk;
}

int report(ReportDatabase& database, const Options& options) {
  IntervalQuery query;
  query.to = std::numeric_limits<std::int64_t>::max() / 2;
  for (auto [given, into] : {std::pair{&options.from, &query.from}, {&options.to, &query.to}}) {
    if (!*given) continue;
    std::optional<std::int64_t> moment = momentOf(**given, options.utc);
    if (!moment) {
      std::cerr << "tarnwick-report: not a date: " << **given << std::endl;
      return kExitUsage;
    }
    *into = *moment;
  }
  if (query.from >= query.to) {
    std::cerr << "tarnwick-report: --from must come before --to" << std::endl;
    return kExitUsage;
  }
  query.productPattern = options.product;
  std::vector<ProductUsage> usage = computeUsage(database, query, options.grouping);
  std::cout << formatReport(usage, options.grouping, options.format, options.utc);
  if (options.html) {
    std::string problem = writeHtmlReport(database, query, usage, options.grouping, options.utc,
                                          *options.html);
    if (!problem.empty()) {
      std::cerr << "tarnwick-report: " << problem << std::endl;
      return kExitFailed;
    }
  }
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (!args.empty() && args[0] == "--version") {
    std::cout << "tarnwick-report " << TARNWICK_VERSION << std::endl;
    return kExitOk;
  }
  std::string error;
  std::optional<Options> options = parse(args, &error);
  if (!options) {
    std::cerr << "tarnwick-report: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  try {
    bool loading = options->verb == "load";
    std::unique_ptr<ReportDatabase> database = openReportDatabase(
        options->database, loading ? DatabaseUse::kLoad : DatabaseUse::kReport);
    return loading ? load(*database, *options) : report(*database, *options);
  } catch (const std::exception& failure) {
    std::cerr << "tarnwick-report: " << failure.what() << std::endl;
    return kExitFailed;
  }
}
