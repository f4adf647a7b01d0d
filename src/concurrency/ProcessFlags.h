// Process-wide state that every thread reads: set by one thread, read by all, no lock needed.
#ifndef TARNWICK_CONCURRENCY_PROCESSFLAGS_H_
#define TARNWICK_CONCURRENCY_PROCESSFLAGS_H_

#include <atomic>
#include <cstdint>

#include "platform/Thread.h"

namespace Vantor {

// Set once when the program is to end; never cleared.
extern std::atomic<bool> quitFlag;
// Set when the configuration is to be read again; cleared by the thread that does it.
extern std::atomic<bool> reconfigureFlag;
// The thread that runs the main loop; the final quit message is posted to it.
extern std::atomic<std::uint32_t> mainThreadId;

// Set whenever a flag above is raised, so that the thread which acts on them (the status
// monitor) need not look more often than its own work asks.
platform::Event& flagRaised();
void raiseQuitFlag();
void raiseReconfigureFlag();

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_PROCESSFLAGS_H_
