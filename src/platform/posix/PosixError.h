// errno to Win32 error code, in one table, for every POSIX implementation file.
#ifndef TARNWICK_PLATFORM_POSIX_POSIXERROR_H_
#define TARNWICK_PLATFORM_POSIX_POSIXERROR_H_

#include <cstdint>

namespace Vantor::platform {

std::uint32_t win32FromErrno(int error);

// Sets lastError() from error and returns false, for "return failWith(errno);".
bool failWith(int error);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXERROR_H_
