#include <sys/resource.h>
#include <unistd.h>

#include "platform/CurrentProcess.h"

namespace Vantor::platform {

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace Vantor::platform
