// A named mutex is flock(LOCK_EX | LOCK_NB) on runtime/mutex/NAME. flock belongs to the open
// file, so a second object of the same process fails like another process would, and the
// kernel drops the lock when its holder dies.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

namespace {

// The mutex's file, opened for reading: all that flock needs, so any user can take a mutex
// that another user made. -1 with lastError() set on failure.
int openMutexFile(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    setLastError(kErrorInvalidName);
    return -1;
  }
  std::optional<std::string> directory = runtimeDirectory("mutex");
  if (!directory) return -1;
  int fd = ::open((*directory + name).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return failWith(errno), -1;
  ::fchmod(fd, 0666);  // whatever the creator's umask; fails harmlessly for other owners
  return fd;
}

}  // namespace

bool prepareNamedMutex(const std::string& name) {
  int fd = openMutexFile(name);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name) {
  int fd = openMutexFile(name);
  if (fd < 0) return nullptr;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    setLastError(error == EWOULDBLOCK ? kErrorAlreadyExists : win32FromErrno(error));
    return nullptr;
  }
  return std::make_unique<FlockHold>(fd);
}

}  // namespace Vantor::platform
