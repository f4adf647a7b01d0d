// Descriptor-level helpers shared by the POSIX implementation files. EINTR is retried here.
#ifndef TARNWICK_PLATFORM_POSIX_POSIXIO_H_
#define TARNWICK_PLATFORM_POSIX_POSIXIO_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>

namespace Vantor::platform {

// A descriptor that closes itself.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd = -1);
  // Hands the descriptor over: it is no longer closed here.
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_ = -1;
};

// Opens path (flags as for open(), O_CLOEXEC added) without waiting: a FIFO or a device put
// where a file belongs must not stop the caller in open() or in a read. Only a regular file is
// kept, in blocking mode; otherwise -1 with errno set (EISDIR for a folder, EINVAL for the
// rest). A file O_CREAT makes gets exactly mode, whatever the umask.
int openRegularFile(const std::string& path, int flags, unsigned mode = 0);

// Each returns false with lastError() set on failure.
bool readAll(int fd, std::string* content);
bool writeAll(int fd, const char* data, std::size_t size);
bool copyAll(int from, int to);
// Makes a rename or creation in path's directory durable.
bool syncParentDirectory(const std::string& path);
// Receives size bytes from a socket before the deadline; false with lastError() set
// (kErrorTimeout, kErrorBrokenPipe when the peer went, or the socket's error).
bool receiveExactly(int fd, std::uint8_t* into, std::size_t size,
                    std::chrono::steady_clock::time_point deadline);
// Sends size bytes on a socket before the deadline, as the peer takes them; false as
// receiveExactly.
bool sendExactly(int fd, const std::uint8_t* from, std::size_t size,
                 std::chrono::steady_clock::time_point deadline);

// Whether the system or this program's user owns what a descriptor names, or is the peer of a
// socket: only they may play a driver or an event of the suite (lastError() kErrorAccessDenied
// otherwise).
bool ownedByRootOrSelf(uid_t owner);
bool peerIsRootOrSelf(int socket);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXIO_H_
