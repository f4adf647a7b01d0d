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

 private:
  int fd_ = -1;
};

// Each returns false with lastError() set on failure.
bool readAll(int fd, std::string* content);
bool writeAll(int fd, const char* data, std::size_t size);
bool copyAll(int from, int to);
// Makes a rename or creation in path's directory durable.
bool syncParentDirectory(const std::string& path);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXIO_H_
