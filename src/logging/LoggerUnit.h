// The logger of one module: debug lines filtered by the process's debug level, and numbered
// messages filtered by its severity threshold. A suppressed call returns before anything is
// built. Safe for concurrent use; the unit holds no mutable state.
#ifndef TARNWICK_LOGGING_LOGGERUNIT_H_
#define TARNWICK_LOGGING_LOGGERUNIT_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "logging/LogCommons.h"
#include "logging/LogSender.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

class LoggerUnit {
 public:
  LoggerUnit(std::shared_ptr<LogSender> sender, std::int32_t module);
  ~LoggerUnit();
  LoggerUnit(const LoggerUnit&) = delete;
  LoggerUnit& operator=(const LoggerUnit&) = delete;

  // Whether a debug line of this level is written: callers check it before building costly
  // parameters on hot paths.
  static bool wants(std::int32_t level) {
    return level <= LogSettings::debugLevel.load(std::memory_order_relaxed);
  }
  // True when suppressed; false without a sender; else whether the line was written.
  bool debug(std::int32_t level, std::string_view text) const;
  // The parameters substituted into format: strings for %s, numbers for %i.
  template <typename... Args>
  bool debug(std::int32_t level, std::string_view format, const Args&... args) const {
    if (!wants(level)) return true;
    return guarded([&] { return debug(level, formatMessage(format, parameterList(args...))); });
  }

  // Message number of this module's catalogue, with parameters. True when suppressed; false
  // without a sender or when sending failed.
  template <typename... Args>
  bool notice(std::int32_t number, const Args&... args) const {
    return message(kSeverityNotice, number, args...);
  }
  template <typename... Args>
  bool warning(std::int32_t number, const Args&... args) const {
    return message(kSeverityWarning, number, args...);
  }
  template <typename... Args>
  bool error(std::int32_t number, const Args&... args) const {
    return message(kSeverityError, number, args...);
  }
  template <typename... Args>
  bool critical(std::int32_t number, const Args&... args) const {
    return message(kSeverityCritical, number, args...);
  }
  template <typename... Args>
  bool fatal(std::int32_t number, const Args&... args) const {
    return message(kSeverityFatal, number, args...);
  }

  std::int32_t module() const { return module_; }

 private:
  template <typename... Args>
  bool message(std::int32_t severity, std::int32_t number, const Args&... args) const {
    if (severity < LogSettings::threshold.load(std::memory_order_relaxed)) return true;
    return guarded([&] { return sendMessage(severity, number, parameterList(args...)); });
  }
  // Runs a logging step: nothing it throws (no memory, a system error) reaches the caller,
  // but a thread's cancellation goes on.
  template <typename Step>
  static bool guarded(Step&& step) {
    try {
      return step();
    } catch (const platform::ThreadCancellation&) {
      throw;
    } catch (...) {
      return false;
    }
  }
  bool sendMessage(std::int32_t severity, std::int32_t number, std::string parameters) const;
  // A record of this unit, stamped now.
  LogRecord recordOf(bool isDebug, std::string text) const;

  const std::shared_ptr<LogSender> sender_;
  const std::int32_t module_;
};

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGGERUNIT_H_
