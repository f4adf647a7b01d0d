// What every part of logging shares: severities, the module and program tables, the log record
// and its text encoding, parameter lists and substitution, and the log line.
#ifndef TARNWICK_LOGGING_LOGCOMMONS_H_
#define TARNWICK_LOGGING_LOGCOMMONS_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "foundation/DateTime.h"

namespace Vantor {

enum Severity : std::int32_t {
  kSeverityNotice = 0,
  kSeverityWarning = 1,
  kSeverityError = 2,
  kSeverityCritical = 3,
  kSeverityFatal = 4,
  kSeverityNone = 5,  // as a threshold: nothing passes
};

// Module numbers of this agent's loggers.
inline constexpr std::int32_t kModuleCore = 0;
inline constexpr std::int32_t kModuleConfiguration = 1;
inline constexpr std::int32_t kModuleLogger = 2;
inline constexpr std::int32_t kModuleIPC = 6;
inline constexpr std::int32_t kModuleTarnwick = 8;
inline constexpr std::int32_t kModuleAgent = 21;
inline constexpr std::int32_t kNoModule = 46;  // moduleFromName of an unknown name
inline constexpr std::int32_t kProgramTarnwick = 2;

inline constexpr std::int32_t kNoMessageNumber = 99999;
inline constexpr char kFieldSeparator = '\x1C';
inline constexpr char kParameterSeparator = '\x1A';

// Log times: 1 local (the default), 2 UTC ("zulu"), 0 anything else (written as local).
inline constexpr std::int32_t kLogTimeLocal = 1;
inline constexpr std::int32_t kLogTimeZulu = 2;

std::string severityName(std::int32_t severity);
// 0-4 by name, 5 for "NONE" and "NOTHING"; -1 for any other name.
std::int32_t severityFromName(std::string_view name);
// "Core", "Configuration", ...; "<<Unknown>>" for a number without a row.
std::string moduleName(std::int32_t module);
// By lower-case name; kNoModule for a name without a row.
std::int32_t moduleFromName(std::string_view lowerName);
std::string programName(std::int32_t program);
// By lower-case name; 0 for a name without a row.
std::int32_t programFromName(std::string_view lowerName);

struct LogRecord {
  bool isDebug = true;
  std::int32_t sender = 0;
  std::int32_t module = 0;
  DateTime time{0LL};
  std::int32_t timeMode = kLogTimeLocal;
  std::int32_t severity = 0;
  std::int32_t debugLevel = 0;
  std::int32_t messageNumber = kNoMessageNumber;
  // A debug line's text; a message's parameter list, or its catalogue text once resolved.
  std::string text;
};

// "Vantor" FS "DEBUG"|"LOG" FS sender FS module FS time FS level-or-severity FS text FS
// [number FS], FS being 0x1C.
std::string encodeRecord(const LogRecord& record);
// False when the text is no encoded record. A negative time throws TimeException. The text
// field may itself hold FS bytes. The time mode is the process's own.
bool decodeRecord(std::string_view text, LogRecord* record);
bool isDebugRecord(std::string_view text);

// Parameter lists: type letter ('s' string, 'n' number), value, 0x1A.
void appendParameter(std::string* list, std::string_view text);
void appendParameter(std::string* list, std::int64_t number);
void appendParameter(std::string* list, double number);
inline void appendParameter(std::string* list, const char* text) {
  appendParameter(list, std::string_view(text));
}
inline void appendParameter(std::string* list, const std::string& text) {
  appendParameter(list, std::string_view(text));
}
template <typename Integer>
requires std::is_integral_v<Integer>
void appendParameter(std::string* list, Integer number) {
  appendParameter(list, static_cast<std::int64_t>(number));
}

template <typename... Args>
std::string parameterList(const Args&... args) {
  std::string list;
  (appendParameter(&list, args), ...);
  return list;
}

// Substitutes the parameters into a catalogue text or debug format: %s takes a string, %i and
// %f a number, %% is '%'; a parameter of the wrong type is written as \value\, a conversion
// without a parameter as "<?}".
std::string formatMessage(std::string_view text, std::string_view parameters);

// One line of the log file (without its line end).
std::string formatLogLine(const LogRecord& record, bool withPrefix, bool resolved);

// Process-wide settings, written by the configuring thread and read by every logger.
struct LogSettings {
  static std::atomic<std::int32_t> debugLevel;  // 0-5, initially 5
  static std::atomic<std::int32_t> threshold;   // 0-5, initially 0
  static std::atomic<std::int32_t> timeMode;    // initially kLogTimeLocal
  static std::atomic<bool> threadIdentifiers;   // debug lines start with the thread id
};

// Setters that ignore values outside 0-5.
void setDebugLevel(std::int32_t level);
void setSeverityThreshold(std::int32_t threshold);
void setLogTimeMode(std::int32_t mode);

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGCOMMONS_H_
