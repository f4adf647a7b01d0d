#include <unistd.h>

#include "platform/CurrentProcess.h"

namespace Vantor::platform {

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

}  // namespace Vantor::platform
