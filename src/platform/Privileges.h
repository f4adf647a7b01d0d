// The right to read every process of the machine (its executable, user and modules), which
// the agent raises for itself when the system permits it.
#ifndef TARNWICK_PLATFORM_PRIVILEGES_H_
#define TARNWICK_PLATFORM_PRIVILEGES_H_

#include <string>

namespace Vantor::platform {

// False (lastError set) with the failing step's name: "OpenProcessToken" (the process's
// rights cannot be read), "LookupPrivilegeValue" (the system does not know the right; not
// on Linux) or "AdjustTokenPrivileges" (it could not be raised).
bool enableDebugPrivilege(std::string* failedStep);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PRIVILEGES_H_
