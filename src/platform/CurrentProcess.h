// Facts about the running process.
#ifndef TARNWICK_PLATFORM_CURRENTPROCESS_H_
#define TARNWICK_PLATFORM_CURRENTPROCESS_H_

#include <cstdint>

namespace Vantor::platform {

std::uint32_t currentProcessId();
// Whether the thread of this process with that identifier still exists: a killed thread may
// live on until its next cancellation point.
bool threadExists(std::uint32_t threadId);
// Lets the process keep as many files open as the system allows it: every observed process
// holds an open handle.
void raiseOpenFileLimit();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_CURRENTPROCESS_H_
