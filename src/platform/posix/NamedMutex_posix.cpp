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
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/RuntimeDirectory.h"

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

int openFile(const std::string& path, int flags, mode_t mode) {
  int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, mode);
  if (fd < 0) failWith(errno);
  return fd;
}

// The mutex's file, opened for reading: all that flock needs. A mutex for everyone is a file
// everyone may open; one for this user is a file only this user may open, which another user
// cannot hold. -1 with lastError() set on failure.
int openMutexFile(const std::string& name, MutexTakers takers) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    setLastError(kErrorInvalidName);
    return -1;
  }
  std::optional<std::string> directory = runtimeDirectory("mutex");
  if (!directory) return -1;
  std::string path = *directory + name;
  bool everyone = takers == MutexTakers::kEveryone;
  int fd = openFile(path, O_CREAT, everyone ? 0666 : 0600);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    setLastError(kErrorInvalidName);
    return -1;
  }
  if (everyone) {
    ::fchmod(fd, 0666);  // whatever the creator's umask; fails harmlessly for other owners
    return fd;
  }
  if (status.st_uid != ::geteuid()) {
    ::close(fd);
    setLastError(kErrorAccessDenied);
    return -1;
  }
  if ((status.st_mode & 077) != 0) {
    // Left open to others by an older run: whoever opened it may hold it. A new file takes its
    // place; their lock stays on the old one.
    ::close(fd);
    ::unlink(path.c_str());
    fd = openFile(path, O_CREAT | O_EXCL, 0600);
  }
  return fd;
}

}  // namespace

bool prepareNamedMutex(const std::string& name) {
  int fd = openMutexFile(name, MutexTakers::kEveryone);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name, MutexTakers takers) {
  int fd = openMutexFile(name, takers);
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
