#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Device.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/RuntimeDirectory.h"

namespace Vantor::platform {

namespace {

// How long a device gets to take a connection.
constexpr int kConnectTimeoutMillis = 2000;

// A device is a stream socket; after a broken exchange it is closed for good.
class SocketDevice : public Device {
 public:
  explicit SocketDevice(int fd) : fd_(fd) {}
  ~SocketDevice() override { close(); }

  bool isOpen() const override { return fd_ >= 0; }
  Status control(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
                 std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout) override {
    return Status::fromLastError(exchange(code, input, capacity, output, timeout));
  }

 private:
  bool exchange(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
                std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout);
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int fd_;
};

}  // namespace

std::unique_ptr<Device> openDevice(const std::string& name) {
  std::optional<std::string> directory = runtimeDirectory("device");
  if (!directory) return nullptr;
  sockaddr_un address{};
  std::string path = *directory + name;
  if (name.find('/') != std::string::npos || path.size() >= sizeof address.sun_path) {
    setLastError(kErrorInvalidName);
    return nullptr;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  // Without blocking: a server that has stopped accepting (hung, or stopped) fills its queue
  // of connections, and a blocking connect would then wait for it for good.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    failWith(errno);
    return nullptr;
  }
  bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd wait = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    connected = ::poll(&wait, 1, kConnectTimeoutMillis) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    if (!connected) errno = error != 0 ? error : ETIMEDOUT;
  }
  if (!connected) {
    // A device nobody serves is a missing device.
    int error = errno == ECONNREFUSED ? ENOENT : errno;
    ::close(fd);
    failWith(error);
    return nullptr;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // Only the system or this user may play the driver: another user's server could invent
  // records.
  if (!peerIsRootOrSelf(fd)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<SocketDevice>(fd);
}

bool SocketDevice::exchange(std::uint32_t code, const std::vector<std::uint8_t>& input,
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
  answered = answered && receiveExactly(fd_, head, sizeof head, deadline);
  auto error = static_cast<std::uint32_t>(answered ? getLittleEndian(head, 4) : 0);
  auto length = static_cast<std::uint32_t>(answered ? getLittleEndian(head + 4, 4) : 0);
  if (answered && length > capacity) {
    // More than was asked for: this is no driver to believe.
    setLastError(kErrorInvalidData);
    answered = false;
  }
  if (answered) {
    output->resize(length);
    answered = receiveExactly(fd_, output->data(), length, deadline);
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

}  // namespace Vantor::platform
