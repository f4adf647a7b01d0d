#include "logging/StartLogging.h"

#include <cstdlib>

#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"

namespace Vantor {

namespace {

// "StartupDebugLevel" may be stored as a number or as its text.
std::optional<std::int32_t> startupDebugLevel(platform::Env& env) {
  std::uint32_t number = 0;
  if (SystemInfo::getResourceDword(env.registry(), "StartupDebugLevel", number) ==
      SystemInfo::RESOURCE_OK) {
    return static_cast<std::int32_t>(number);
  }
  std::string text;
  if (SystemInfo::getResourceString(env.registry(), "StartupDebugLevel", text) ==
          SystemInfo::RESOURCE_OK &&
      !text.empty()) {
    return std::atoi(text.c_str());
  }
  return std::nullopt;
}

}  // namespace

std::optional<Logging> startLogging(platform::Env& env, std::string directory,
                                    const std::string& fileName,
                                    const MessengerFactory& makeMessenger) {
  if (directory.empty() && SystemInfo::getResourceString(env.registry(), "StartupLogDir",
                                                         directory) != SystemInfo::RESOURCE_OK) {
    return std::nullopt;
  }
  if (directory.empty()) return std::nullopt;
  directory = FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(directory));
  if (std::optional<std::int32_t> level = startupDebugLevel(env)) setDebugLevel(*level);

  Logging logging;
  logging.writer = std::make_shared<LogWriter>(env, directory + fileName);
  std::string scheme;
  if (SystemInfo::getResourceString(env.registry(), "LogFileRotationScheme", scheme) ==
      SystemInfo::RESOURCE_OK) {
    logging.writer->setScheme(LogWriter::parseScheme(scheme));
  }
  logging.messenger = makeMessenger ? makeMessenger(logging.writer)
                                    : std::make_shared<LogMessenger>(logging.writer);
  logging.sender = std::make_shared<LogSender>(kProgramTarnwick, logging.messenger);
  logging.agentLogger = std::make_unique<LoggerUnit>(logging.sender, kModuleAgent);
  return logging;
}

}  // namespace Vantor
