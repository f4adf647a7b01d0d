// The requests the system sends to a daemon: end (SIGTERM, SIGINT) and reconfigure (SIGHUP),
// delivered to callbacks on a thread of their own, never inside a signal handler.
#ifndef TARNWICK_PLATFORM_SIGNALS_H_
#define TARNWICK_PLATFORM_SIGNALS_H_

#include <functional>

namespace Vantor::platform {

// Call on the main thread before any other thread starts: the requests are blocked in every
// thread and taken by one watcher thread, which calls onEnd or onReconfigure. Once per process.
void watchProcessSignals(std::function<void()> onEnd, std::function<void()> onReconfigure);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_SIGNALS_H_
