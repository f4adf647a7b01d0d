// systemd's notification protocol, over the datagram socket $NOTIFY_SOCKET names (a path, or
// an abstract name written with a leading '@'), and its journal's stream, which
// $JOURNAL_STREAM names as "device:inode" of the descriptor it gave.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/SystemServices.h"

namespace Vantor::platform {

namespace {

class SystemdServiceManager : public ServiceManager {
 public:
  SystemdServiceManager() {
    const char* socketName = std::getenv("NOTIFY_SOCKET");
    if (socketName != nullptr && (socketName[0] == '/' || socketName[0] == '@') &&
        std::strlen(socketName) < sizeof address_.sun_path) {
      address_.sun_family = AF_UNIX;
      std::size_t length = std::strlen(socketName);
      std::memcpy(address_.sun_path, socketName, length);
      if (socketName[0] == '@') address_.sun_path[0] = '\0';
      addressLength_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length +
                                              (socketName[0] == '/' ? 1 : 0));
      socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    // The watchdog is this process's only when the manager named it (or named none).
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec != nullptr && (pid == nullptr || std::strtol(pid, nullptr, 10) == ::getpid())) {
      char* end = nullptr;
      unsigned long long micros = std::strtoull(usec, &end, 10);
      if (end != usec && *end == '\0') watchdog_ = std::chrono::microseconds(micros);
    }
    if (const char* stream = std::getenv("JOURNAL_STREAM")) {
      struct stat status {};
      unsigned long long device = 0;
      unsigned long long inode = 0;
      journal_ = std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
                 ::fstat(STDERR_FILENO, &status) == 0 && status.st_dev == device &&
                 status.st_ino == inode;
    }
  }

  bool listens() const override { return socket_ >= 0; }
  bool notify(const std::string& assignments) override {
    if (socket_ < 0) return false;
    // Never waits: a manager that reads nothing must not stall the status monitor.
    return ::sendto(socket_, assignments.data(), assignments.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address_),
                    addressLength_) == static_cast<ssize_t>(assignments.size());
  }
  std::chrono::microseconds watchdogInterval() const override { return watchdog_; }
  bool standardErrorIsJournal() const override { return journal_; }

 private:
  sockaddr_un address_{};
  socklen_t addressLength_ = 0;
  int socket_ = -1;
  std::chrono::microseconds watchdog_{0};
  bool journal_ = false;
};

}  // namespace

ServiceManager& systemServiceManager() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* manager = new SystemdServiceManager();
  return *manager;
}

}  // namespace Vantor::platform
