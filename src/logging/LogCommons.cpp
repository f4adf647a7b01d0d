#include "logging/LogCommons.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "foundation/TextUtils.h"
#include "foundation/TimeException.h"

namespace Vantor {

std::atomic<std::int32_t> LogSettings::debugLevel{5};
std::atomic<std::int32_t> LogSettings::threshold{0};
std::atomic<std::int32_t> LogSettings::timeMode{kLogTimeLocal};
std::atomic<bool> LogSettings::threadIdentifiers{false};

namespace {

struct NamedNumber {
  std::int32_t number;
  const char* display;
  const char* lower;
};

// The suite's modules and programs that this agent meets; the other rows of the suite's
// tables name programs that never run here.
constexpr NamedNumber kModules[] = {
    {0, "Core", "core"},         {1, "Configuration", "configuration"},
    {2, "Logger", "logger"},     {3, "Protocol", "protocol"},
    {4, "Time", "time"},         {6, "IPC", "ipc"},
    {8, "Tarnwick", "tarnwick"}, {21, "Agent", "agent"},
};
constexpr NamedNumber kPrograms[] = {{1, "Core", "core"}, {2, "Tarnwick", "tarnwick"}};
constexpr const char* kSeverityNames[] = {"NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL"};

template <std::size_t N>
std::string displayName(const NamedNumber (&table)[N], std::int32_t number) {
  for (const NamedNumber& row : table) {
    if (row.number == number) return row.display;
  }
  return "<<Unknown>>";
}

template <std::size_t N>
std::int32_t numberOf(const NamedNumber (&table)[N], std::string_view lower, std::int32_t missing) {
  for (const NamedNumber& row : table) {
    if (lower == row.lower) return row.number;
  }
  return missing;
}

// The leading decimal number of a field, as atoi reads it: 0 when there is none.
std::int64_t leadingNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = i < text.size() && text[i] == '-';
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) ++i;
  std::int64_t number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    number = number * 10 + (text[i] - '0');
    if (number > 0xFFFFFFFFLL) break;  // already beyond every field's range
  }
  return negative ? -number : number;
}

std::int32_t leadingInt(std::string_view text) {
  return static_cast<std::int32_t>(leadingNumber(text));
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string atLeastTwoDigits(std::int32_t number) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d", number);
  return buffer;
}

}  // namespace

std::string severityName(std::int32_t severity) {
  return severity >= 0 && severity <= 4 ? kSeverityNames[severity] : "<<Unknown>>";
}

std::int32_t severityFromName(std::string_view name) {
  for (std::int32_t i = 0; i <= 4; ++i) {
    if (name == kSeverityNames[i]) return i;
  }
  if (name == "NONE" || name == "NOTHING") return kSeverityNone;
  return -1;
}

std::string moduleName(std::int32_t module) { return displayName(kModules, module); }

std::int32_t moduleFromName(std::string_view lowerName) {
  return numberOf(kModules, lowerName, kNoModule);
}

std::string programName(std::int32_t program) { return displayName(kPrograms, program); }

std::int32_t programFromName(std::string_view lowerName) {
  return numberOf(kPrograms, lowerName, 0);
}

std::string encodeRecord(const LogRecord& record) {
  const char fs = kFieldSeparator;
  std::string text = "Vantor";
  text += fs;
  text += record.isDebug ? "DEBUG" : "LOG";
  text += fs + std::to_string(record.sender) + fs + std::to_string(record.module) + fs +
          std::to_string(record.time.getValue()) + fs +
          std::to_string(record.isDebug ? record.debugLevel : record.severity) + fs + record.text +
          fs;
  if (!record.isDebug) text += std::to_string(record.messageNumber) + fs;
  return text;
}

bool decodeRecord(std::string_view text, LogRecord* record) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  // The six fixed fields; the text field may hold separators itself, so the message number
  // is taken from the end.
  while (fields.size() < 6) {
    std::size_t end = text.find(kFieldSeparator, start);
    if (end == std::string_view::npos) return false;
    fields.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (fields[0] != "Vantor" || (fields[1] != "DEBUG" && fields[1] != "LOG")) return false;
  std::string_view rest = text.substr(start);
  if (rest.empty() || rest.back() != kFieldSeparator) return false;
  rest.remove_suffix(1);
  record->isDebug = fields[1] == "DEBUG";
  std::int32_t number = kNoMessageNumber;
  if (!record->isDebug) {
    std::size_t last = rest.rfind(kFieldSeparator);
    if (last == std::string_view::npos) return false;
    number = leadingInt(rest.substr(last + 1));
    rest = rest.substr(0, last);
  }
  record->sender = leadingInt(fields[2]);
  record->module = leadingInt(fields[3]);
  record->time.setValue(leadingNumber(fields[4]));
  record->timeMode = LogSettings::timeMode.load(std::memory_order_relaxed);
  record->debugLevel = record->isDebug ? leadingInt(fields[5]) : 0;
  record->severity = record->isDebug ? 0 : leadingInt(fields[5]);
  record->messageNumber = number;
  record->text = std::string(rest);
  return true;
}

bool isDebugRecord(std::string_view text) {
  return text.size() > 11 && text.substr(7, 5) == "DEBUG";
}

void appendParameter(std::string* list, std::string_view text) {
  list->push_back('s');
  // A string that already ends in the separator gets no second one.
  if (!text.empty() && text.back() == kParameterSeparator) text.remove_suffix(1);
  // A parameter may come from outside: its control characters would split the list or the
  // log line.
  list->append(TextUtils::withoutControls(text, '?'));
  list->push_back(kParameterSeparator);
}

void appendParameter(std::string* list, std::int64_t number) {
  list->push_back('n');
  list->append(std::to_string(number));
  list->push_back(kParameterSeparator);
}

void appendParameter(std::string* list, double number) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%g", number);
  list->push_back('n');
  list->append(buffer);
  list->push_back(kParameterSeparator);
}

std::string formatMessage(std::string_view text, std::string_view parameters) {
  std::vector<std::string_view> values;
  while (!parameters.empty()) {
    std::size_t end = parameters.find(kParameterSeparator);
    values.push_back(parameters.substr(0, end));
    if (end == std::string_view::npos) break;
    parameters.remove_prefix(end + 1);
  }
  std::string result;
  std::size_t next = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      result.push_back(text[i]);
      continue;
    }
    if (i + 1 < text.size() && text[i + 1] == '%') {
      result.push_back('%');
      ++i;
      continue;
    }
    if (next >= values.size() || i + 1 >= text.size()) {
      result += "<?}";
      ++i;
      continue;
    }
    char expected = 0;
    switch (text[i + 1]) {
      case 'd':
        expected = 'e';
        break;
      case 'f':
      case 'i':
        expected = 'n';
        break;
      case 'p':
        expected = 'p';
        break;
      case 's':
        expected = 's';
        break;
      default:
        break;
    }
    std::string_view parameter = values[next++];
    std::string_view value = parameter.empty() ? parameter : parameter.substr(1);
    if (expected != 0 && !parameter.empty() && parameter[0] == expected) {
      result += value;
    } else {
      result += "\\" + std::string(value) + "\\";
    }
    ++i;
  }
  return result;
}

std::string formatLogLine(const LogRecord& record, bool withPrefix, bool resolved) {
  std::string line;
  if (withPrefix) {
    line = padded(record.isDebug ? "debug-" + std::to_string(record.debugLevel)
                                 : severityName(record.severity),
                  8) +
           " ";
    try {
      line += (record.timeMode == kLogTimeZulu ? record.time.toString(true, false, false)
                                               : record.time.toString(false, false, false)) +
              " ";
    } catch (const TimeException&) {
      line += "INVALID TIME STAMP  ";
    }
  } else {
    line = record.isDebug ? "9" : std::to_string(record.severity);
  }
  line += "(" + std::to_string(record.sender) + "." + atLeastTwoDigits(record.module);
  line += record.isDebug ? ")   " : "." + atLeastTwoDigits(record.messageNumber) + ")";
  line += " ";
  if (record.isDebug || resolved) return line + TextUtils::withoutControls(record.text, '?');
  line += "(Message not found.)";
  if (!record.text.empty()) {
    line += " Parameters: ";
    std::string_view parameters = std::string_view(record.text).substr(1);
    for (std::size_t i = 0; i < parameters.size(); ++i) {
      if (parameters[i] == '\x1A' || parameters[i] == '\x1B') {
        line += "  ";
        ++i;  // the type letter of the next parameter
      } else {
        unsigned char c = static_cast<unsigned char>(parameters[i]);
        line.push_back(c < 0x20 || c == 0x7F ? '?' : parameters[i]);
      }
    }
  }
  return line;
}

void setDebugLevel(std::int32_t level) {
  if (level >= 0 && level <= 5) LogSettings::debugLevel.store(level);
}

void setSeverityThreshold(std::int32_t threshold) {
  if (threshold >= 0 && threshold <= 5) LogSettings::threshold.store(threshold);
}

void setLogTimeMode(std::int32_t mode) { LogSettings::timeMode.store(mode); }

}  // namespace Vantor
