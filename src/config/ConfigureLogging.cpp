#include "config/ConfigureLogging.h"

#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "logging/LogCommons.h"

namespace Vantor {

void configureLogging(const ConfReader& reader, LogWriter& writer) {
  std::string directory;
  if (reader.getDirName("Vantor.directories.log", directory) == ConfReader::CONF_OK) {
    std::string path = directory + FileUtils::baseName(writer.path());
    if (FileOps::makeParentDirs(writer.env(), path)) writer.setPath(path);
  }

  std::string time;
  if (reader.getString("log.time", time, true) == ConfReader::CONF_OK) {
    setLogTimeMode(time == "local" ? kLogTimeLocal : time == "zulu" ? kLogTimeZulu : 0);
  }

  // Before the scheme: a rotation at start-up, at the next line, keeps as many as configured.
  std::int32_t kept = LogWriter::kDefaultRotationsKept;
  if (reader.getInteger("log.rotation.keep", kept) != ConfReader::CONF_OK || kept < 0) {
    kept = LogWriter::kDefaultRotationsKept;
  }
  writer.setRotationsKept(kept);

  std::string scheme;
  if (reader.getString("log.rotation.scheme", scheme, true, true) == ConfReader::CONF_OK) {
    writer.setScheme(LogWriter::parseScheme(scheme));
  }

  TimeSpanFields rotation;
  writer.setRotationTime(reader.getTimeSpan("log.rotation.time", rotation) == ConfReader::CONF_OK
                             ? TimeSpan(rotation)
                             : TimeSpan(0));

  std::int32_t size = 0;
  if (reader.getInteger("log.rotation.size", size) != ConfReader::CONF_OK) size = 0;
  writer.setRotationSize(size);

  std::string severity;
  if (reader.getString("log.global.severity", severity, true) == ConfReader::CONF_OK) {
    setSeverityThreshold(severityFromName(severity));  // an unknown name changes nothing
  } else {
    setSeverityThreshold(0);
  }

  std::int32_t level = 0;
  if (reader.getInteger("log.global.debug-level", level) != ConfReader::CONF_OK) level = 0;
  setDebugLevel(level);
}

}  // namespace Vantor
