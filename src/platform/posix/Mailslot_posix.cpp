// A mailslot is a Unix datagram socket runtime/mailslot/NAME. The reader binds it with mode
// 0666 and SO_PASSCRED, so every message carries its sender's uid; writers connect on first
// use. A message is one datagram: whole or not at all.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/ErrorCodes.h"
#include "platform/LastErrorBases.h"
#include "platform/Mailslot.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/RuntimeDirectory.h"

namespace Vantor::platform {

namespace {

// How long a write waits for a reader whose queue is full.
constexpr int kSendTimeoutSeconds = 2;

// Socket paths are short (107 bytes); a name that does not fit is stored as its beginning and
// a hash of the whole name, the same for every process.
std::string socketFileName(const std::string& name, std::size_t room) {
  if (name.size() <= room || room < 20) return name;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 1099511628211ull;
  char suffix[20];
  std::snprintf(suffix, sizeof suffix, "~%016llx", static_cast<unsigned long long>(hash));
  return name.substr(0, room - 17) + suffix;
}

bool socketAddress(const std::string& name, sockaddr_un* address, std::string* path) {
  if (!isValidMailslotName(name)) {
    setLastError(kErrorInvalidName);
    return false;
  }
  std::optional<std::string> directory = runtimeDirectory("mailslot");
  if (!directory) return false;
  *path = *directory + socketFileName(name, sizeof(address->sun_path) - 1 - directory->size());
  if (path->size() >= sizeof(address->sun_path)) {
    setLastError(kErrorFilenameExcedRange);
    return false;
  }
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::memcpy(address->sun_path, path->c_str(), path->size() + 1);
  return true;
}

// A socket file whose reader died stays behind; it refuses connections.
bool isStale(const sockaddr_un& address) {
  int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return false;
  bool stale = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
               errno == ECONNREFUSED;
  ::close(probe);
  return stale;
}

class SocketReader : public LastErrorMailslotReader {
 public:
  SocketReader(int fd, std::string path)
      : fd_(fd), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), path_(std::move(path)) {}
  ~SocketReader() override {
    ::unlink(path_.c_str());
    ::close(fd_);
    if (wake_ >= 0) ::close(wake_);
  }

  bool peekNext(bool* present, std::size_t* size, std::uint32_t* senderUid) override {
    char first;
    ssize_t length = receive(&first, 1, MSG_PEEK | MSG_TRUNC, senderUid);
    if (length < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        *present = false;
        return true;
      }
      return failWith(errno);
    }
    *present = true;
    *size = static_cast<std::size_t>(length);
    return true;
  }

  bool readNext(std::size_t capacity, MailslotMessage* message) override {
    message->bytes.assign(capacity, '\0');
    ssize_t length = receive(message->bytes.data(), capacity, 0, &message->senderUid);
    if (length < 0) return failWith(errno);
    message->bytes.resize(std::min(static_cast<std::size_t>(length), capacity));
    return true;
  }

  bool discardNext() override {
    char first;
    std::uint32_t sender;
    return receive(&first, 1, MSG_TRUNC, &sender) >= 0 || failWith(errno);
  }

  bool waitForMessage(std::uint32_t timeoutMillis) override {
    pollfd wanted[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
    int ready = ::poll(wanted, wake_ >= 0 ? 2 : 1, static_cast<int>(timeoutMillis));
    if (ready > 0 && (wanted[1].revents & POLLIN)) {
      std::uint64_t count;
      if (::read(wake_, &count, sizeof count) < 0) {
        // Nonblocking: another wait consumed it first.
      }
      return false;
    }
    return ready > 0 && (wanted[0].revents & POLLIN);
  }

  void wake() override {
    std::uint64_t one = 1;
    if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
      // The counter is full: a wake is pending already.
    }
  }

 private:
  // One datagram into buffer (the rest of a longer one is cut), with its sender; the
  // datagram's whole length, or -1 with errno set.
  ssize_t receive(char* buffer, std::size_t capacity, int flags, std::uint32_t* senderUid) {
    iovec data{buffer, capacity};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    msghdr header{};
    header.msg_iov = &data;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    ssize_t length;
    do {
      length = ::recvmsg(fd_, &header, flags | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    } while (length < 0 && errno == EINTR);
    *senderUid = 0xFFFFFFFFu;
    if (length < 0) return length;
    for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
         item = CMSG_NXTHDR(&header, item)) {
      if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_CREDENTIALS) {
        ucred credentials;
        std::memcpy(&credentials, CMSG_DATA(item), sizeof credentials);
        *senderUid = credentials.uid;
      }
    }
    return length;
  }

  int fd_;
  int wake_;  // eventfd; -1 when none could be made, and the waits run their full time
  std::string path_;
};

class SocketWriter : public MailslotWriter {
 public:
  explicit SocketWriter(int fd) : fd_(fd) {}
  ~SocketWriter() override { ::close(fd_); }

  Status write(const std::string& bytes) override { return Status::fromLastError(send(bytes)); }

  bool send(const std::string& bytes) {
    ssize_t sent;
    do {
      sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return failWith(errno == EAGAIN ? ETIMEDOUT : errno);
    return true;
  }

 private:
  int fd_;
};

}  // namespace

std::unique_ptr<MailslotReader> createMailslot(const std::string& name) {
  sockaddr_un address;
  std::string path;
  if (!socketAddress(name, &address, &path)) return nullptr;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    failWith(errno);
    return nullptr;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
  int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (bound != 0 && errno == EADDRINUSE && isStale(address)) {
    ::unlink(path.c_str());
    bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
  if (bound != 0) {
    int error = errno;
    ::close(fd);
    failWith(error == EADDRINUSE ? EEXIST : error);
    return nullptr;
  }
  // Everybody may write, whatever the umask; never through a link put in its place.
  ::fchmodat(AT_FDCWD, path.c_str(), 0666, AT_SYMLINK_NOFOLLOW);
  return std::make_unique<SocketReader>(fd, path);
}

std::unique_ptr<MailslotWriter> openMailslot(const std::string& name) {
  sockaddr_un address;
  std::string path;
  if (!socketAddress(name, &address, &path)) return nullptr;
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    failWith(errno);
    return nullptr;
  }
  timeval timeout{kSendTimeoutSeconds, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    // A socket file without a reader is no mailslot either.
    failWith(error == ECONNREFUSED ? ENOENT : error);
    return nullptr;
  }
  return std::make_unique<SocketWriter>(fd);
}

std::string systemErrorText(std::uint32_t code) {
  switch (code) {
    case kErrorFileNotFound:
      return "The system cannot find the file specified.";
    case kErrorPathNotFound:
      return "The system cannot find the path specified.";
    case kErrorAccessDenied:
      return "Access is denied.";
    case kErrorInvalidName:
      return "The filename, directory name, or volume label syntax is incorrect.";
    case kErrorFilenameExcedRange:
      return "The filename or extension is too long.";
    case kErrorTimeout:
      return "This operation returned because the timeout period expired.";
    case kErrorAlreadyExists:
      return "Cannot create a file when that file already exists.";
    case kErrorNotEnoughMemory:
      return "Not enough memory resources are available.";
    default:
      return "System error " + std::to_string(code) + ".";
  }
}

std::uint32_t currentUserId() { return static_cast<std::uint32_t>(::geteuid()); }

}  // namespace Vantor::platform
