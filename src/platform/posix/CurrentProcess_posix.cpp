#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/SystemServices.h"

namespace Vantor::platform {

std::uint32_t currentProcessId() { return static_cast<std::uint32_t>(::getpid()); }

bool threadExists(std::uint32_t threadId) {
  return ::syscall(SYS_tgkill, ::getpid(), static_cast<pid_t>(threadId), 0) == 0 || errno != ESRCH;
}

void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace Vantor::platform
