#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Device.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/RuntimeDirectory.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

Device::~Device() { close(); }

bool Device::open(const std::string& name) {
  close();
  std::optional<std::string> directory = runtimeDirectory("device");
  if (!directory) return false;
  sockaddr_un address{};
  std::string path = *directory + name;
  if (name.find('/') != std::string::npos || path.size() >= sizeof address.sun_path) {
    setLastError(kErrorInvalidName);
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failWith(errno);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    // A device nobody serves is a missing device.
    int error = errno == ECONNREFUSED ? ENOENT : errno;
    ::close(fd);
    return failWith(error);
  }
  // Only the system or this user may play the driver: another user's server could invent
  // records.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
      (peer.uid != 0 && peer.uid != ::geteuid())) {
    ::close(fd);
    setLastError(kErrorAccessDenied);
    return false;
  }
  fd_ = fd;
  return true;
}

namespace {

// Reads size bytes before the deadline; false with lastError set otherwise.
bool readExactly(int fd, std::uint8_t* into, std::size_t size,
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
      setLastError(kErrorBrokenPipe);  // the driver went away
      return false;
    }
    into += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace

bool Device::control(std::uint32_t code, const std::vector<std::uint8_t>& input,
                     std::uint32_t capacity, std::vector<std::uint8_t>* output,
                     std::chrono::milliseconds timeout) {
  if (fd_ < 0) {
    setLastError(kErrorInvalidHandle);
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::vector<std::uint8_t> request;
  appendLittleEndian(request, code, 4);
  appendLittleEndian(request, input.size(), 4);
  request.insert(request.end(), input.begin(), input.end());
  appendLittleEndian(request, capacity, 4);
  std::uint8_t head[8];
  bool answered = ::send(fd_, request.data(), request.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                      static_cast<ssize_t>(request.size()) ||
                  failWith(errno);
  answered = answered && readExactly(fd_, head, sizeof head, deadline);
  auto error = static_cast<std::uint32_t>(answered ? getLittleEndian(head, 4) : 0);
  auto length = static_cast<std::uint32_t>(answered ? getLittleEndian(head + 4, 4) : 0);
  if (answered && length > capacity) {
    // More than was asked for: this is no driver to believe.
    setLastError(kErrorInvalidData);
    answered = false;
  }
  if (answered) {
    output->resize(length);
    answered = readExactly(fd_, output->data(), length, deadline);
  }
  if (!answered) {
    close();
    return false;
  }
  if (error != kErrorSuccess) {
    setLastError(error);
    return false;
  }
  return true;
}

void Device::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace Vantor::platform
