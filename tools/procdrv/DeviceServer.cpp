#include "procdrv/DeviceServer.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/posix/PosixIo.h"

namespace Vantor::procdrv {

namespace {

// A request comes in one piece: a client that has not sent the rest by then is stuck.
constexpr auto kRequestDeadline = std::chrono::seconds(2);

}  // namespace

DeviceServer::~DeviceServer() {
  dropClient();
  if (listener_ >= 0) {
    ::close(listener_);
    ::unlink(path_.c_str());
  }
}

bool DeviceServer::listen(const std::string& path) {
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener_ < 0) return false;
  // Only a socket may be replaced: the instance lock says no other driver serves it.
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      errno = EEXIST;
      return false;
    }
    ::unlink(path.c_str());
  }
  mode_t previous = ::umask(0077);
  bool bound = ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::umask(previous);
  if (!bound || ::listen(listener_, 4) != 0) return false;
  path_ = path;
  return true;
}

DeviceServer::Arrival DeviceServer::acceptClient() {
  int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return Arrival::kNone;
  // The device is not shared: a second reader would take records from the first.
  if (client_ >= 0 || !platform::peerIsRootOrSelf(fd)) {
    ::close(fd);
    return Arrival::kRefused;
  }
  client_ = fd;
  return Arrival::kNewClient;
}

bool DeviceServer::serveRequest(const Handler& handler) {
  auto deadline = std::chrono::steady_clock::now() + kRequestDeadline;
  std::uint8_t head[8];
  if (!platform::receiveExactly(client_, head, sizeof head, deadline)) {
    dropClient();
    return false;
  }
  auto code = static_cast<std::uint32_t>(platform::getLittleEndian(head, 4));
  auto inputSize = static_cast<std::uint32_t>(platform::getLittleEndian(head + 4, 4));
  std::vector<std::uint8_t> input(inputSize <= kMostInput ? inputSize : 0);
  std::uint8_t capacityBytes[4];
  if (inputSize > kMostInput ||
      !platform::receiveExactly(client_, input.data(), input.size(), deadline) ||
      !platform::receiveExactly(client_, capacityBytes, sizeof capacityBytes, deadline)) {
    dropClient();
    return false;
  }
  auto capacity = static_cast<std::uint32_t>(platform::getLittleEndian(capacityBytes, 4));
  DeviceAnswer answer = handler(code, input, capacity);
  // The handler gives no more than the room; should it, nothing half is sent.
  if (answer.bytes.size() > capacity) answer = {platform::kErrorInsufficientBuffer, {}};
  std::vector<std::uint8_t> reply;
  platform::appendLittleEndian(reply, answer.error, 4);
  platform::appendLittleEndian(reply, answer.bytes.size(), 4);
  reply.insert(reply.end(), answer.bytes.begin(), answer.bytes.end());
  // A batch may pass the socket's buffer: the client has the request's deadline to take it,
  // and one that does not is dropped rather than waited for.
  if (!platform::sendExactly(client_, reply.data(), reply.size(), deadline)) {
    dropClient();
    return false;
  }
  return true;
}

void DeviceServer::dropClient() {
  if (client_ >= 0) ::close(client_);
  client_ = -1;
}

}  // namespace Vantor::procdrv
