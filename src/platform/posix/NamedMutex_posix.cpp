// A named mutex is flock(LOCK_EX | LOCK_NB) on runtime/mutex/NAME. flock belongs to the open
// file, so a second object of the same process fails like another process would, and the
// kernel drops the lock when its holder dies.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrorCodes.h"
#include "platform/NamedMutex.h"
#include "platform/RuntimeDirectory.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

class FlockHold : public NamedMutexHold {
 public:
  explicit FlockHold(int fd) : fd_(fd) {}
  ~FlockHold() override { ::close(fd_); }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    setLastError(kErrorInvalidName);
    return nullptr;
  }
  std::optional<std::string> directory = runtimeDirectory("mutex");
  if (!directory) return nullptr;
  int fd = ::open((*directory + name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    failWith(errno);
    return nullptr;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    setLastError(error == EWOULDBLOCK ? kErrorAlreadyExists : win32FromErrno(error));
    return nullptr;
  }
  return std::make_unique<FlockHold>(fd);
}

}  // namespace Vantor::platform
