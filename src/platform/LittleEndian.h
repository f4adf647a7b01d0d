// Numbers in the little-endian order of the binary formats the agent reads and writes (the
// performance-data block, the driver device's protocol, the event data it builds), whatever
// the machine's own order.
#ifndef TARNWICK_PLATFORM_LITTLEENDIAN_H_
#define TARNWICK_PLATFORM_LITTLEENDIAN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Vantor::platform {

// The low size bytes of value at at, lowest first.
inline void putLittleEndian(std::uint8_t* at, std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The same, appended.
inline void appendLittleEndian(std::vector<std::uint8_t>& bytes, std::uint64_t value,
                               std::size_t size) {
  bytes.resize(bytes.size() + size);
  putLittleEndian(bytes.data() + bytes.size() - size, value, size);
}

// The number in the size bytes at at.
inline std::uint64_t getLittleEndian(const std::uint8_t* at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i > 0; --i) value = value << 8 | at[i - 1];
  return value;
}

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_LITTLEENDIAN_H_
