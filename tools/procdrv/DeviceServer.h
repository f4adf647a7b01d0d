// The device socket of the driver: one client at a time, and only one of this user or the
// superuser, so no other local user can take the records or hold the device. Requests are
// read within a deadline: a client that stalls halfway is dropped, not waited for.
#ifndef TARNWICK_TOOLS_PROCDRV_DEVICESERVER_H_
#define TARNWICK_TOOLS_PROCDRV_DEVICESERVER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vantor::procdrv {

struct DeviceAnswer {
  std::uint32_t error = 0;  // a Win32 error code; 0 for success
  std::vector<std::uint8_t> bytes;
};

class DeviceServer {
 public:
  // capacity: the most bytes the client takes; a longer answer is refused as too long.
  using Handler = std::function<DeviceAnswer(
      std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity)>;
  enum class Arrival { kNone, kNewClient, kRefused };
  // Larger inputs than any request of the protocol end the client.
  static constexpr std::uint32_t kMostInput = 4096;

  DeviceServer() = default;
  // Closes the sockets and removes the device.
  ~DeviceServer();
  DeviceServer(const DeviceServer&) = delete;
  DeviceServer& operator=(const DeviceServer&) = delete;

  // Serves the device at path, replacing a socket an earlier run left; false with errno set.
  bool listen(const std::string& path);
  int listenerFd() const { return listener_; }
  int clientFd() const { return client_; }
  // Takes a client that waits. A second client, or one of another user, is turned away.
  Arrival acceptClient();
  // Serves one request of the client; false when the client has gone or was dropped.
  bool serveRequest(const Handler& handler);
  void dropClient();

 private:
  int listener_ = -1;
  int client_ = -1;
  std::string path_;
};

}  // namespace Vantor::procdrv

#endif  // TARNWICK_TOOLS_PROCDRV_DEVICESERVER_H_
