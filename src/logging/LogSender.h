// The front of the log messenger that every LoggerUnit shares: stamps records with this
// program's sender number, puts the thread id before debug texts when asked to, encodes the
// record and passes it to the messenger. Safe for concurrent use.
#ifndef TARNWICK_LOGGING_LOGSENDER_H_
#define TARNWICK_LOGGING_LOGSENDER_H_

#include <cstdint>
#include <memory>

#include "logging/LogCommons.h"
#include "logging/LogMessenger.h"

namespace Vantor {

class LogSender {
 public:
  LogSender(std::int32_t senderNumber, std::shared_ptr<LogMessenger> messenger)
      : senderNumber_(senderNumber), messenger_(std::move(messenger)) {}
  virtual ~LogSender() = default;

  bool deliver(LogRecord record);

 private:
  const std::int32_t senderNumber_;
  const std::shared_ptr<LogMessenger> messenger_;
};

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_LOGSENDER_H_
