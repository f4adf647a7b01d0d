// Values read from and written to bytes that need not be aligned for them, in the machine's
// order: the system's binary records (event data, kernel messages, session properties).
#ifndef TARNWICK_PLATFORM_UNALIGNED_H_
#define TARNWICK_PLATFORM_UNALIGNED_H_

#include <cstdint>
#include <cstring>

namespace Vantor::platform {

template <typename Value>
Value readUnaligned(const std::uint8_t* at) {
  Value value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

template <typename Value>
void writeUnaligned(std::uint8_t* at, Value value) {
  std::memcpy(at, &value, sizeof value);
}

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_UNALIGNED_H_
