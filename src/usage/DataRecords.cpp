#include "usage/DataRecords.h"

#include <charconv>
#include <cmath>

#include "foundation/TextUtils.h"
#include "usage/RecordFields.h"

namespace Vantor {

namespace {

constexpr std::size_t kFields = 10;

template <typename Number>
bool parseNumber(std::string_view text, Number* value) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

std::optional<std::int32_t> exitStatusOf(std::string_view text, bool* valid) {
  std::int32_t status = 0;
  *valid = text == "none" || parseNumber(text, &status);
  if (text == "none" || !*valid) return std::nullopt;
  return status;
}

// The lines of text, without their line ends ("\n" or "\r\n").
std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
  return lines;
}

// One record's first line taken apart.
struct Head {
  std::int64_t time = 0;
  int kind = 0;
  std::vector<std::string> fields;
};

std::optional<Head> readHead(std::string_view line, std::string* reason) {
  Head head;
  if (!line.starts_with("1:")) {
    *reason = "not a record: it does not begin with \"1:\"";
    return std::nullopt;
  }
  line.remove_prefix(2);
  std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || !parseNumber(line.substr(0, colon), &head.time)) {
    *reason = "the time does not parse";
    return std::nullopt;
  }
  line.remove_prefix(colon + 1);
  colon = line.find(':');
  if (colon == std::string_view::npos || !parseNumber(line.substr(0, colon), &head.kind)) {
    *reason = "the kind of record does not parse";
    return std::nullopt;
  }
  line.remove_prefix(colon);
  if (!line.starts_with(":0:")) {
    *reason = "the fields do not begin with \":0:\"";
    return std::nullopt;
  }
  line.remove_prefix(3);
  for (std::size_t next; (next = line.find(":0:")) != std::string_view::npos;) {
    head.fields.emplace_back(line.substr(0, next));
    line.remove_prefix(next + 3);
  }
  head.fields.emplace_back(line);
  if (head.fields.size() != kFields) {
    *reason = std::to_string(head.fields.size()) + " fields where 10 belong";
    return std::nullopt;
  }
  return head;
}

// The numbers of a second line "F:n1:n2:...", F being 1 or, where first is given, 0 too.
bool readFigures(std::string_view line, std::size_t count, bool* first, std::vector<double>* out,
                 std::string* reason) {
  if (line.starts_with("1:")) {
    if (first != nullptr) *first = true;
  } else if (first != nullptr && line.starts_with("0:")) {
    *first = false;
  } else {
    *reason = "the second line does not begin with \"1:\"";
    return false;
  }
  line.remove_prefix(2);
  out->clear();
  while (true) {
    std::size_t colon = line.find(':');
    double value = 0;
    if (!parseNumber(line.substr(0, colon), &value)) {
      *reason = "a figure of the second line does not parse";
      return false;
    }
    out->push_back(value);
    if (colon == std::string_view::npos) break;
    line.remove_prefix(colon + 1);
  }
  if (out->size() != count) {
    *reason = std::to_string(out->size()) + " figures where " + std::to_string(count) + " belong";
    return false;
  }
  return true;
}

bool readWholeSeconds(std::string_view line, bool* first, std::int64_t* seconds,
                      std::string* reason) {
  std::vector<double> ignored;
  if (!readFigures(line, 1, first, &ignored, reason)) return false;
  if (!parseNumber(line.substr(2), seconds)) {
    *reason = "the length is not a whole number of seconds";
    return false;
  }
  if (*seconds < 0) {
    *reason = "the length is negative";
    return false;
  }
  return true;
}

// An interval must lie between 1970 and the latest start the caller allows: a forged length
// would otherwise overflow every sum taken over it.
bool withinTime(std::int64_t start, std::int64_t length, std::int64_t latest, std::string* reason) {
  if (start < 0) {
    *reason = "the record starts before 1970";
    return false;
  }
  if (length > latest - start) {
    *reason = "the record ends in the future";
    return false;
  }
  return true;
}

// The names a report sorts and counts by stay short: product, user, computer, workgroup and
// time class. A database indexes them together, and an entry of an index is bounded (a few
// kilobytes); no system names a user or a computer at such length. Measured as stored, where
// a byte that is not UTF-8 takes three.
bool namesFit(const UsageInterval& usage, std::string* reason) {
  constexpr std::size_t kLongestName = kLongestReportName;
  for (const auto& [name, value] :
       {std::pair<const char*, const std::string*>{"product", &usage.product},
        {"user", &usage.user}, {"computer", &usage.computer}, {"workgroup", &usage.workgroup},
        {"time class", &usage.timeClass}}) {
    if (value->size() > kLongestName ||
        (value->size() > kLongestName / 3 && TextUtils::validUtf8(*value).size() > kLongestName)) {
      *reason = std::string("the ") + name + " name is longer than 512 bytes";
      return false;
    }
  }
  return true;
}

// False with the reason, and secondLine set when the fault is in the record's second line.
bool take(const Head& head, std::string_view second, std::int64_t latestStart,
          DataRecords* records, std::string* reason, bool* secondLine) {
  *secondLine = false;
  const std::vector<std::string>& f = head.fields;
  bool valid = true;
  switch (head.kind) {
    case static_cast<int>(RecordKind::kUsage): {
      UsageInterval usage{head.time, 0, true, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8],
                          std::nullopt};
      usage.exitStatus = exitStatusOf(f[9], &valid);
      if (!valid) *reason = "the exit status does not parse";
      if (!valid || !namesFit(usage, reason)) return false;
      *secondLine = true;
      if (!readWholeSeconds(second, &usage.first, &usage.length, reason) ||
          !withinTime(usage.start, usage.length, latestStart, reason)) {
        return false;
      }
      records->usage.push_back(std::move(usage));
      return true;
    }
    case static_cast<int>(RecordKind::kModule): {
      ModuleStretch module{head.time, 0, f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9]};
      *secondLine = true;
      if (!readWholeSeconds(second, nullptr, &module.lifetime, reason) ||
          !withinTime(module.firstSeen, module.lifetime, latestStart, reason)) {
        return false;
      }
      records->modules.push_back(std::move(module));
      return true;
    }
    case static_cast<int>(RecordKind::kPerformance): {
      if (f[0] != "undef") {
        *reason = "a performance record whose first field is not \"undef\"";
        return false;
      }
      PerformanceFigures figures{head.time, f[1], f[2], f[3], f[4], f[5], f[7], f[8], f[9],
                                 std::nullopt};
      figures.exitStatus = exitStatusOf(f[6], &valid);
      std::vector<double> numbers;
      if (!valid) {
        *reason = "the exit status does not parse";
        return false;
      }
      *secondLine = true;
      if (!readFigures(second, 8, nullptr, &numbers, reason)) return false;
      for (double number : numbers) {
        if (!std::isfinite(number) || number < 0) {
          *reason = "a figure is negative or not a number";
          return false;
        }
      }
      *secondLine = false;
      if (!withinTime(figures.start, 0, latestStart, reason)) return false;
      figures.processorSeconds = numbers[0];
      figures.elapsedSeconds = numbers[1];
      figures.ioBytesPerSecond = numbers[2];
      figures.processorShare = numbers[3];
      figures.memoryShare = numbers[5];
      figures.memorySeconds = numbers[6];
      records->performance.push_back(std::move(figures));
      return true;
    }
    default:
      *reason = "a record of unknown kind " + std::to_string(head.kind);
      return false;
  }
}

}  // namespace

std::optional<DataRecords> readDataRecords(std::string_view text, std::int64_t latestStart,
                                           RecordDamage* damage) {
  DataRecords records;
  std::vector<std::string_view> lines = linesOf(text);
  for (std::size_t i = 0; i < lines.size(); i += 2) {
    std::string reason;
    std::optional<Head> head = readHead(lines[i], &reason);
    if (head && head->time > latestStart) reason = "the record starts in the future";
    if (reason.empty() && i + 1 >= lines.size()) reason = "the record is cut short";
    bool secondLine = false;
    if (reason.empty() && !take(*head, lines[i + 1], latestStart, &records, &reason, &secondLine)) {
      *damage = {secondLine ? i + 2 : i + 1, reason};
      return std::nullopt;
    }
    if (!reason.empty()) {
      *damage = {i + 1, reason};
      return std::nullopt;
    }
  }
  return records;
}

}  // namespace Vantor
