#include "logging/LoggerUnit.h"

#include "platform/ThreadCancellation.h"

namespace Vantor {

LoggerUnit::LoggerUnit(std::shared_ptr<LogSender> sender, std::int32_t module)
    : sender_(std::move(sender)), module_(module) {
  debug(1, "LoggerUnit: Created logger for the %s module.", moduleName(module_));
}

LoggerUnit::~LoggerUnit() {
  debug(1, "LoggerUnit: Destroyed logger for the %s module.", moduleName(module_));
}

bool LoggerUnit::debug(std::int32_t level, std::string_view text) const {
  if (level > LogSettings::debugLevel.load(std::memory_order_relaxed)) return true;
  if (!sender_) return false;
  LogRecord record;
  record.isDebug = true;
  record.module = module_;
  record.time = DateTime();
  record.timeMode = LogSettings::timeMode.load(std::memory_order_relaxed);
  record.debugLevel = level;
  record.text = std::string(text);
  return sender_->deliver(std::move(record));
}

bool LoggerUnit::sendMessage(std::int32_t severity, std::int32_t number,
                             std::string parameters) const {
  if (!sender_) return false;
  try {
    LogRecord record;
    record.isDebug = false;
    record.module = module_;
    record.time = DateTime();
    record.timeMode = LogSettings::timeMode.load(std::memory_order_relaxed);
    record.severity = severity;
    record.messageNumber = number;
    record.text = std::move(parameters);
    return sender_->deliver(std::move(record));
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    return false;  // a failed send must not take the caller down
  }
}

}  // namespace Vantor
