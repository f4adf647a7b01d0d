// A named event is a FIFO runtime/event/NAME. Setting it writes a byte; a waiter polls the
// FIFOs; an automatic event is drained by the wait that sees it. Every holder opens the FIFO for
// reading and writing, so it never blocks in open() and never sees a writer hang up.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "platform/ErrorCodes.h"
#include "platform/NamedEvent.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/RuntimeDirectory.h"

namespace Vantor::platform {

namespace {

std::optional<std::string> eventPath(const std::string& name) {
  if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") {
    setLastError(kErrorInvalidName);
    return std::nullopt;
  }
  std::optional<std::string> directory = runtimeDirectory("event");
  if (!directory) return std::nullopt;
  return *directory + name;
}

// The FIFO at path, opened without waiting; -1 (lastError set) when there is none, or
// something else is there.
int openFifo(const std::string& path, int access) {
  int fd = ::open(path.c_str(), access | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    // A FIFO nobody holds open is an event nobody made now.
    failWith(errno == ENXIO ? ENOENT : errno);
    return -1;
  }
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) {
    ::close(fd);
    setLastError(kErrorInvalidName);
    return -1;
  }
  return fd;
}

// Made by the system or this user only: another user's event in its place would take the
// setter's signals, or wake a waiter at will.
bool madeByTrustedUser(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return failWith(errno);
  return ownedByRootOrSelf(status.st_uid);
}

bool setFifo(int fd) {
  char byte = 1;
  // A full FIFO is an event set many times over: set all the same.
  return ::write(fd, &byte, 1) == 1 || errno == EAGAIN || failWith(errno);
}

class FifoEvent : public NamedEvent {
 public:
  FifoEvent(int fd, Reset reset) : fd_(fd), reset_(reset) {}
  ~FifoEvent() override { ::close(fd_); }

  bool set() override { return setFifo(fd_); }

  int fd() const { return fd_; }
  Reset reset() const { return reset_; }

 private:
  int fd_;
  Reset reset_;
};

}  // namespace

std::unique_ptr<NamedEvent> createEvent(const std::string& name, NamedEvent::Reset reset,
                                        NamedEvent::Users users) {
  std::optional<std::string> path = eventPath(name);
  if (!path) return nullptr;
  mode_t mode = users == NamedEvent::Users::kEveryone ? 0666 : 0600;
  if (::mkfifo(path->c_str(), mode) != 0 && errno != EEXIST) {
    failWith(errno);
    return nullptr;
  }
  int fd = openFifo(*path, O_RDWR);
  if (fd < 0) return nullptr;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid()) {
    ::close(fd);
    setLastError(kErrorAccessDenied);
    return nullptr;
  }
  ::fchmod(fd, mode);  // whatever the umask took, or an earlier run left
  // Not set at creation: what an earlier holder left in the FIFO is gone.
  char drained[64];
  while (::read(fd, drained, sizeof drained) > 0) {
  }
  return std::make_unique<FifoEvent>(fd, reset);
}

std::unique_ptr<NamedEvent> openEvent(const std::string& name, NamedEvent::Reset reset) {
  std::optional<std::string> path = eventPath(name);
  if (!path) return nullptr;
  int fd = openFifo(*path, O_RDWR);
  if (fd < 0) return nullptr;
  if (!madeByTrustedUser(fd)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FifoEvent>(fd, reset);
}

bool setEvent(const std::string& name) {
  std::optional<std::string> path = eventPath(name);
  if (!path) return false;
  int fd = openFifo(*path, O_WRONLY);
  if (fd < 0) return false;
  bool written = madeByTrustedUser(fd) && setFifo(fd);
  ::close(fd);
  return written;
}

int waitForAnyEvent(const std::vector<NamedEvent*>& events, std::chrono::milliseconds timeout) {
  std::vector<pollfd> wanted;
  std::vector<const FifoEvent*> fifos;
  for (const NamedEvent* event : events) {
    // Only events this layer made can be waited on together.
    const auto* fifo = dynamic_cast<const FifoEvent*>(event);
    if (fifo == nullptr) {
      setLastError(kErrorInvalidHandle);
      return NamedEvent::kFailed;
    }
    fifos.push_back(fifo);
    wanted.push_back({fifo->fd(), POLLIN, 0});
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int ready = ::poll(wanted.data(), wanted.size(), std::max<int>(0, left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      failWith(errno);
      return NamedEvent::kFailed;
    }
    if (ready == 0) return NamedEvent::kTimedOut;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if ((wanted[i].revents & POLLIN) == 0) continue;
      if (fifos[i]->reset() == NamedEvent::Reset::kAutomatic) {
        char drained[64];
        while (::read(wanted[i].fd, drained, sizeof drained) > 0) {
        }
      }
      return static_cast<int>(i);
    }
    setLastError(kErrorInvalidHandle);
    return NamedEvent::kFailed;
  }
}

}  // namespace Vantor::platform
