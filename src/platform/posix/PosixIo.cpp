#include "platform/posix/PosixIo.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ErrorCodes.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

namespace {

// Opens, creating with exactly mode when O_CREAT asks for it: the umask narrows or widens
// nothing the agent makes. A file that exists keeps its mode.
int openCreating(const std::string& path, int flags, unsigned mode) {
  if ((flags & O_CREAT) == 0) return ::open(path.c_str(), flags, mode);
  if ((flags & O_EXCL) == 0) {
    int fd = ::open(path.c_str(), flags & ~(O_CREAT | O_TRUNC), mode);
    if (fd >= 0 || errno != ENOENT) {
      if (fd >= 0 && (flags & O_TRUNC) != 0) {
        // Emptied only once it is known to be a regular file (the caller checks the rest).
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && ::ftruncate(fd, 0) != 0) {
          int error = errno;
          ::close(fd);
          errno = error;
          return -1;
        }
      }
      return fd;
    }
  }
  int fd = ::open(path.c_str(), flags | O_EXCL, mode);
  if (fd >= 0) {
    ::fchmod(fd, mode);
  } else if (errno == EEXIST && (flags & O_EXCL) == 0) {
    // Made by someone else in between: opened as it stands.
    return openCreating(path, flags & ~O_CREAT, mode);
  }
  return fd;
}

}  // namespace

int openRegularFile(const std::string& path, int flags, unsigned mode) {
  int fd = openCreating(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    int error = S_ISDIR(status.st_mode) ? EISDIR : EINVAL;
    ::close(fd);
    errno = error;
    return -1;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool readAll(int fd, std::string* content) {
  content->clear();
  char buffer[64 * 1024];
  while (true) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failWith(errno);
    if (got == 0) return true;
    content->append(buffer, static_cast<std::size_t>(got));
  }
}

bool writeAll(int fd, const char* data, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    ssize_t put = ::write(fd, data + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) return failWith(errno);
    done += static_cast<std::size_t>(put);
  }
  return true;
}

bool copyAll(int from, int to) {
  char buffer[64 * 1024];
  while (true) {
    ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failWith(errno);
    if (got == 0) return true;
    if (!writeAll(to, buffer, static_cast<std::size_t>(got))) return false;
  }
}

bool syncParentDirectory(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return failWith(errno);
  // Some file systems cannot sync a directory (EINVAL); the rename is then as durable as
  // they make it.
  bool synced = ::fsync(fd) == 0 || errno == EINVAL;
  int error = errno;
  ::close(fd);
  return synced || failWith(error);
}

bool sendExactly(int fd, const std::uint8_t* from, std::size_t size,
                 std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    ssize_t sent = ::send(fd, from, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN) return failWith(errno);
    if (sent > 0) {
      from += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd wanted{fd, POLLOUT, 0};
    int ready = left.count() > 0 ? ::poll(&wanted, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno != EINTR) return failWith(errno);
    if (ready == 0) {
      setLastError(kErrorTimeout);
      return false;
    }
  }
  return true;
}

bool receiveExactly(int fd, std::uint8_t* into, std::size_t size,
                    std::chrono::steady_clock::time_point deadline) {
  while (size > 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd wanted{fd, POLLIN, 0};
    int ready = left.count() > 0 ? ::poll(&wanted, 1, static_cast<int>(left.count())) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return failWith(errno);
    if (ready == 0) {
      setLastError(kErrorTimeout);
      return false;
    }
    ssize_t got = ::recv(fd, into, size, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got < 0) return failWith(errno);
    if (got == 0) {
      setLastError(kErrorBrokenPipe);
      return false;
    }
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

bool ownedByRootOrSelf(uid_t owner) {
  if (owner == 0 || owner == ::geteuid()) return true;
  setLastError(kErrorAccessDenied);
  return false;
}

bool peerIsRootOrSelf(int socket) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return failWith(errno);
  return ownedByRootOrSelf(peer.uid);
}

}  // namespace Vantor::platform
