// A device of the suite's process-event driver, opened by name for control requests.
#ifndef TARNWICK_PLATFORM_DEVICE_H_
#define TARNWICK_PLATFORM_DEVICE_H_

#include <string>

namespace Vantor::platform {

class Device {
 public:
  Device() = default;
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // False (lastError set) when no such device is being served.
  bool open(const std::string& name);
  void close();
  bool isOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_DEVICE_H_
