// The directory where the suite's programs meet: mailslots, named mutexes, named events and
// the driver device live in its sub-folders "mailslot", "mutex", "event" and "device".
#ifndef TARNWICK_PLATFORM_RUNTIMEDIRECTORY_H_
#define TARNWICK_PLATFORM_RUNTIMEDIRECTORY_H_

#include <optional>
#include <string>

namespace Vantor::platform {

// The sub-folder's path with a trailing separator, created (mode 0755) when missing; nullopt
// with lastError() set when it cannot be made. $VANTOR_RUNTIME_DIR is used when set.
std::optional<std::string> runtimeDirectory(const std::string& subfolder);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_RUNTIMEDIRECTORY_H_
