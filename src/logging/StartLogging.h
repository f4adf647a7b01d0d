// Sets up the process's logging at start-up: the log writer, the messenger behind it, the
// sender that every LoggerUnit shares, and the agent's own logger (module 21).
#ifndef TARNWICK_LOGGING_STARTLOGGING_H_
#define TARNWICK_LOGGING_STARTLOGGING_H_

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "logging/LogMessenger.h"
#include "logging/LogSender.h"
#include "logging/LogWriter.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"

namespace Vantor {

struct Logging {
  Logging() = default;
  Logging(Logging&&) = default;
  Logging& operator=(Logging&&) = default;
  // The agent's logger says goodbye first; then the file closes with its banner.
  ~Logging() {
    agentLogger.reset();
    if (writer) writer->close("Quitting Logger Agent");
  }

  std::shared_ptr<LogWriter> writer;
  std::shared_ptr<LogMessenger> messenger;
  std::shared_ptr<LogSender> sender;
  std::unique_ptr<LoggerUnit> agentLogger;
};

using MessengerFactory = std::function<std::shared_ptr<LogMessenger>(std::shared_ptr<LogWriter>)>;

// directory empty: the registry's "StartupLogDir". Also applies "StartupDebugLevel" and
// "LogFileRotationScheme". nullopt when no directory is known.
std::optional<Logging> startLogging(platform::Env& env, std::string directory,
                                    const std::string& fileName,
                                    const MessengerFactory& makeMessenger = nullptr);

}  // namespace Vantor

#endif  // TARNWICK_LOGGING_STARTLOGGING_H_
