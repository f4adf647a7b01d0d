// Cancelling a thread unwinds its stack with this exception. A catch (...) on a thread that
// can be cancelled must let it pass: catch (const ThreadCancellation&) { throw; } first.
#ifndef TARNWICK_PLATFORM_THREADCANCELLATION_H_
#define TARNWICK_PLATFORM_THREADCANCELLATION_H_

#include <cxxabi.h>

namespace Vantor::platform {

using ThreadCancellation = abi::__forced_unwind;

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_THREADCANCELLATION_H_
