// A device of the suite's process-event driver, opened by name for control requests.
#ifndef TARNWICK_PLATFORM_DEVICE_H_
#define TARNWICK_PLATFORM_DEVICE_H_

#include <chrono>
#include <cstdint>
#include <vector>

#include "platform/Status.h"

namespace Vantor::platform {

class Device {
 public:
  virtual ~Device() = default;

  // False after a broken exchange: the device is closed then, so that a late answer is not
  // taken for the next request's.
  virtual bool isOpen() const = 0;
  // A control request: the code and input go to the driver, and its output, at most capacity
  // bytes, comes back. On failure the driver's own error, kErrorTimeout when it does not answer
  // in time, or what broke the exchange.
  virtual Status control(std::uint32_t code, const std::vector<std::uint8_t>& input,
                         std::uint32_t capacity, std::vector<std::uint8_t>* output,
                         std::chrono::milliseconds timeout) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_DEVICE_H_
