#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {
// Reading other users' processes needs both: ptrace-level access and reading any directory.
constexpr unsigned kNeeded[] = {CAP_SYS_PTRACE, CAP_DAC_READ_SEARCH};
constexpr std::uint32_t kErrorNotAllAssigned = 1300;
}  // namespace

bool enableDebugPrivilege(std::string* failedStep) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) {
    *failedStep = "OpenProcessToken";
    return failWith(errno);
  }
  bool missing = false;
  for (unsigned capability : kNeeded) {
    std::uint32_t bit = 1u << (capability % 32);
    __user_cap_data_struct& word = data[capability / 32];
    if ((word.permitted & bit) != 0) {
      word.effective |= bit;
    } else {
      missing = true;
    }
  }
  if (::syscall(SYS_capset, &header, data) != 0) {
    *failedStep = "AdjustTokenPrivileges";
    return failWith(errno);
  }
  if (missing) {
    *failedStep = "AdjustTokenPrivileges";
    setLastError(kErrorNotAllAssigned);
    return false;
  }
  return true;
}

}  // namespace Vantor::platform
