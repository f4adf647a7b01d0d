// Facts about the running process.
#ifndef TARNWICK_PLATFORM_CURRENTPROCESS_H_
#define TARNWICK_PLATFORM_CURRENTPROCESS_H_

#include <cstdint>

namespace Vantor::platform {

std::uint32_t currentProcessId();
// Lets the process keep as many files open as the system allows it: every observed process
// holds an open handle.
void raiseOpenFileLimit();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_CURRENTPROCESS_H_
