// Facts about the running process.
#ifndef TARNWICK_PLATFORM_CURRENTPROCESS_H_
#define TARNWICK_PLATFORM_CURRENTPROCESS_H_

#include <cstdint>

namespace Vantor::platform {

std::uint32_t currentProcessId();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_CURRENTPROCESS_H_
