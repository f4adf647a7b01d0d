// Applies the logging keys of the configuration to the process's log settings and writer.
#ifndef TARNWICK_CONFIG_CONFIGURELOGGING_H_
#define TARNWICK_CONFIG_CONFIGURELOGGING_H_

#include "config/ConfReader.h"
#include "logging/LogWriter.h"

namespace Vantor {

// "Vantor.directories.log" moves the log file to that directory (same name); "log.time" picks
// local or zulu times; "log.rotation.scheme", ".time" and ".size" set the rotation;
// "log.global.severity" and "log.global.debug-level" set the thresholds. A missing key leaves
// its setting, except that a missing rotation time or size, severity or debug level sets 0.
void configureLogging(const ConfReader& reader, LogWriter& writer);

}  // namespace Vantor

#endif  // TARNWICK_CONFIG_CONFIGURELOGGING_H_
