#include "support/LogCapture.h"

#include <sstream>

#include "logging/LogCommons.h"
#include "support/SystemEnv.h"

namespace Vantor::testing {

LogCapture::LogCapture()
    : registry_("VANTOR_REGISTRY", dir_.file("registry.reg").c_str()),
      writer_(std::make_shared<LogWriter>(testing::systemEnv(), dir_.file("tarnwick.log"))),
      sender_(
          std::make_shared<LogSender>(kProgramTarnwick, std::make_shared<LogMessenger>(writer_))),
      savedDebugLevel_(LogSettings::debugLevel.load()),
      savedThreshold_(LogSettings::threshold.load()) {}

LogCapture::~LogCapture() {
  LogSettings::debugLevel.store(savedDebugLevel_);
  LogSettings::threshold.store(savedThreshold_);
  LogSettings::threadIdentifiers.store(false);
}

std::vector<std::string> LogCapture::lines() const {
  std::istringstream content(readFile(dir_.file("tarnwick.log")));
  std::vector<std::string> result;
  std::string line;
  while (std::getline(content, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    result.push_back(line);
  }
  return result;
}

bool LogCapture::contains(const std::string& text) const {
  for (const std::string& line : lines()) {
    if (line.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace Vantor::testing
