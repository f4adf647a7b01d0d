// A device of the suite's process-event driver, opened by name for control requests.
#ifndef TARNWICK_PLATFORM_DEVICE_H_
#define TARNWICK_PLATFORM_DEVICE_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace Vantor::platform {

class Device {
 public:
  Device() = default;
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // False (lastError set) when no such device is being served, or when another user than this
  // one or the system serves it (kErrorAccessDenied).
  bool open(const std::string& name);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  // A control request: the code and input go to the driver, and its output, at most capacity
  // bytes, comes back. False (lastError set: the driver's own error, kErrorTimeout when it does
  // not answer in time, or what broke the exchange) when the request fails. After a broken
  // exchange the device is closed: a late answer must not be taken for the next one.
  bool control(std::uint32_t code, const std::vector<std::uint8_t>& input, std::uint32_t capacity,
               std::vector<std::uint8_t>* output, std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_DEVICE_H_
