#include "logging/LoggerUnit.h"

namespace Vantor {

LoggerUnit::LoggerUnit(std::shared_ptr<LogSender> sender, std::int32_t module)
    : sender_(std::move(sender)), module_(module) {
  debug(1, "LoggerUnit: Created logger for the %s module.", moduleName(module_));
}

LoggerUnit::~LoggerUnit() {
  debug(1, "LoggerUnit: Destroyed logger for the %s module.", moduleName(module_));
}

LogRecord LoggerUnit::recordOf(bool isDebug, std::string text) const {
  LogRecord record;
  record.isDebug = isDebug;
  record.module = module_;
  record.time = DateTime();
  record.timeMode = LogSettings::timeMode.load(std::memory_order_relaxed);
  record.text = std::move(text);
  return record;
}

bool LoggerUnit::debug(std::int32_t level, std::string_view text) const {
  if (level > LogSettings::debugLevel.load(std::memory_order_relaxed)) return true;
  if (!sender_) return false;
  return guarded([&] {
    LogRecord record = recordOf(true, std::string(text));
    record.debugLevel = level;
    return sender_->deliver(std::move(record));
  });
}

bool LoggerUnit::sendMessage(std::int32_t severity, std::int32_t number,
                             std::string parameters) const {
  if (!sender_) return false;
  LogRecord record = recordOf(false, std::move(parameters));
  record.severity = severity;
  record.messageNumber = number;
  return sender_->deliver(std::move(record));
}

}  // namespace Vantor
