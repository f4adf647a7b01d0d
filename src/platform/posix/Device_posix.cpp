#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Device.h"
#include "platform/ErrorCodes.h"
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
  fd_ = fd;
  return true;
}

void Device::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace Vantor::platform
