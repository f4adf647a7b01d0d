#include "logging/StartLogging.h"

#include <cstdlib>

#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"

namespace Vantor {

namespace {

// "StartupDebugLevel" may be stored as a number or as its text.
std::optional<std::int32_t> startupDebugLevel() {
  std::uint32_t number = 0;
  if (SystemInfo::getResourceDword("StartupDebugLevel", number) == SystemInfo::RESOURCE_OK) {
    return static_cast<std::int32_t>(number);
  }
  std::string text;
  if (SystemInfo::getResourceString("StartupDebugLevel", text) == SystemInfo::RESOURCE_OK &&
      !text.empty()) {
    return std::atoi(text.c_str());
  }
  return std::nullopt;
}

}  // namespace

std::optional<Logging> startLogging(std::string directory, const std::string& fileName,
                                    const MessengerFactory& makeMessenger) {
  if (directory.empty() &&
      SystemInfo::getResourceString("StartupLogDir", directory) != SystemInfo::RESOURCE_OK) {
    return std::nullopt;
  }
  if (directory.empty()) return std::nullopt;
  directory = FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(directory));
  if (std::optional<std::int32_t> level = startupDebugLevel()) setDebugLevel(*level);

  Logging logging;
  logging.writer = std::make_shared<LogWriter>(directory + fileName);
  std::string scheme;
  if (SystemInfo::getResourceString("LogFileRotationScheme", scheme) == SystemInfo::RESOURCE_OK) {
    logging.writer->setScheme(LogWriter::parseScheme(scheme));
  }
  logging.messenger = makeMessenger ? makeMessenger(logging.writer)
                                    : std::make_shared<LogMessenger>(logging.writer);
  logging.sender = std::make_shared<LogSender>(kProgramTarnwick, logging.messenger);
  logging.agentLogger = std::make_unique<LoggerUnit>(logging.sender, kModuleAgent);
  return logging;
}

}  // namespace Vantor
