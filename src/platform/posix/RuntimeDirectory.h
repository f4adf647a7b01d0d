// The directory where the suite's programs meet: mailslots, named mutexes, named events and
// the driver device live in its sub-folders "mailslot", "mutex", "event" and "device".
#ifndef TARNWICK_PLATFORM_POSIX_RUNTIMEDIRECTORY_H_
#define TARNWICK_PLATFORM_POSIX_RUNTIMEDIRECTORY_H_

#include <optional>
#include <string>

namespace Vantor::platform {

// The sub-folder's path with a trailing separator, created (mode 0755) when missing; nullopt
// with lastError() set when it cannot be made, or when the directory found in a shared place is
// not this user's alone. $VANTOR_RUNTIME_DIR is used as it is when set.
// (namedObjectsRefusal() tells why the calling thread's last call refused the directory it
// found.)
std::optional<std::string> runtimeDirectory(const std::string& subfolder);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_RUNTIMEDIRECTORY_H_
