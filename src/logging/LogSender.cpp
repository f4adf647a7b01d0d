#include "logging/LogSender.h"

#include "platform/Thread.h"

namespace Vantor {

bool LogSender::deliver(LogRecord record) {
  record.sender = senderNumber_;
  if (record.isDebug && LogSettings::threadIdentifiers.load(std::memory_order_relaxed)) {
    record.text = std::to_string(platform::currentThreadId()) + ": " + record.text;
  }
  if (!messenger_) return false;
  return messenger_->send(encodeRecord(record));
}

}  // namespace Vantor
