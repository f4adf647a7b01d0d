#include "report/ReportOutput.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "foundation/DateTime.h"
#include "foundation/TextUtils.h"
#include "report/SqlText.h"

namespace Vantor::report {

namespace {

std::string hoursText(double hours) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", hours);
  return text;
}

const char* groupKey(Grouping grouping) {
  return grouping == Grouping::kUser ? "user" : grouping == Grouping::kComputer ? "computer" : "";
}

// The cells of each row, names first; the header's keys are the JSON keys.
std::vector<std::string> headerOf(Grouping grouping) {
  std::vector<std::string> header = {"product"};
  if (grouping != Grouping::kProduct) header.emplace_back(groupKey(grouping));
  for (const char* key : {"peak_users", "peak_users_at", "peak_processes", "users", "computers",
                          "hours", "prime_hours", "non_prime_hours"}) {
    header.emplace_back(key);
  }
  return header;
}

std::vector<std::string> cellsOf(const ProductUsage& usage, Grouping grouping, bool utc) {
  std::vector<std::string> cells = {usage.product};
  if (grouping != Grouping::kProduct) cells.push_back(usage.group);
  cells.push_back(std::to_string(usage.peakUsers));
  cells.push_back(reportTime(usage.peakUsersAt, utc));
  cells.push_back(std::to_string(usage.peakProcesses));
  cells.push_back(std::to_string(usage.users));
  cells.push_back(std::to_string(usage.computers));
  cells.push_back(hoursText(usage.hours));
  cells.push_back(hoursText(usage.primeHours));
  cells.push_back(hoursText(usage.nonPrimeHours));
  return cells;
}

std::string csvCell(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

std::size_t displayWidth(const std::string& text) {
  // Characters, not bytes: continuation bytes of UTF-8 take no column.
  return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::int64_t localOffsetAt(std::int64_t second) {
  // The zone's offset at that instant, not today's: a summer peak read in winter keeps its
  // summer offset. (std::localtime's buffer is shared: the reports run on one thread.)
  std::time_t time = static_cast<std::time_t>(second);
  std::tm local = *std::localtime(&time);
  std::tm utc = *std::gmtime(&time);
  std::int64_t days = local.tm_year != utc.tm_year ? (local.tm_year > utc.tm_year ? 1 : -1)
                                                   : local.tm_yday - utc.tm_yday;
  return ((days * 24 + local.tm_hour - utc.tm_hour) * 60 + local.tm_min - utc.tm_min) * 60 +
         (local.tm_sec - utc.tm_sec);
}

std::string reportTime(std::int64_t second, bool utc) {
  if (utc) return DateTime(second).toString(true, false, true);
  std::int64_t offset = localOffsetAt(second);
  std::string text = DateTime(second + offset).toString(true, false, false);
  if (!text.empty() && text.back() == 'Z') text.pop_back();  // the local fields, zone follows
  char zone[8];
  std::int64_t minutes = (offset < 0 ? -offset : offset) / 60;
  std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+',
                static_cast<int>(minutes / 60), static_cast<int>(minutes % 60));
  return text + zone;
}

std::string formatReport(const std::vector<ProductUsage>& usage, Grouping grouping,
                         ReportFormat format, bool utc) {
  std::vector<std::string> header = headerOf(grouping);
  std::vector<std::vector<std::string>> rows;
  for (const ProductUsage& one : usage) rows.push_back(cellsOf(one, grouping, utc));
  std::size_t names = grouping == Grouping::kProduct ? 1 : 2;
  std::string out;
  if (format == ReportFormat::kJson) {
    out = "[";
    for (std::size_t r = 0; r < rows.size(); ++r) {
      out += r == 0 ? "\n  {" : ",\n  {";
      for (std::size_t c = 0; c < header.size(); ++c) {
        bool text = c < names || header[c] == "peak_users_at";
        out += (c == 0 ? "" : ", ") + TextUtils::jsonString(header[c]) + ": " +
               (text ? TextUtils::jsonString(rows[r][c]) : rows[r][c]);
      }
      out += "}";
    }
    return out + (rows.empty() ? "]\n" : "\n]\n");
  }
  if (format == ReportFormat::kCsv) {
    rows.insert(rows.begin(), header);
    for (const auto& row : rows) {
      for (std::size_t c = 0; c < row.size(); ++c) {
        out += (c == 0 ? "" : ",") + csvCell(TextUtils::validUtf8(row[c]));
      }
      out += "\n";
    }
    return out;
  }
  rows.insert(rows.begin(), header);
  for (auto& row : rows) {
    for (std::size_t c = 0; c < names; ++c) row[c] = TextUtils::shown(row[c]);
  }
  std::vector<std::size_t> widths(header.size(), 0);
  for (const auto& row : rows) {
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths[c] = std::max(widths[c], displayWidth(row[c]));
    }
  }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      std::string pad(widths[c] - displayWidth(row[c]), ' ');
      // Names to the left, figures to the right, as a table of numbers reads.
      line += (c == 0 ? "" : "  ") + (c < names ? row[c] + pad : pad + row[c]);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace Vantor::report
