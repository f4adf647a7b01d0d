// Descriptor-level helpers shared by the POSIX implementation files. EINTR is retried here.
#ifndef TARNWICK_PLATFORM_POSIX_POSIXIO_H_
#define TARNWICK_PLATFORM_POSIX_POSIXIO_H_

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
// rest).
int openRegularFile(const std::string& path, int flags, unsigned mode = 0);

// Each returns false with lastError() set on failure.
bool readAll(int fd, std::string* content);
bool writeAll(int fd, const char* data, std::size_t size);
bool copyAll(int from, int to);
// Makes a rename or creation in path's directory durable.
bool syncParentDirectory(const std::string& path);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXIO_H_
