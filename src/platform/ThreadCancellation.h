// Cancelling a thread unwinds its stack with this exception. A catch (...) on a thread that
// can be cancelled must let it pass: catch (const ThreadCancellation&) { throw; } first.
#ifndef TARNWICK_PLATFORM_THREADCANCELLATION_H_
#define TARNWICK_PLATFORM_THREADCANCELLATION_H_

#ifndef _WIN32
#include <cxxabi.h>
#endif

namespace Vantor::platform {

#ifdef _WIN32
// Windows has no cancellation of its own: a cancelled thread throws this at its next
// cancellation point (sleepCancellable, Event::wait).
struct ThreadCancellation {};
#else
using ThreadCancellation = abi::__forced_unwind;
#endif

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_THREADCANCELLATION_H_
