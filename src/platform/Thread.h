// Operating-system threads: start, identify, wait for, suspend, and cancel one thread.
#ifndef TARNWICK_PLATFORM_THREAD_H_
#define TARNWICK_PLATFORM_THREAD_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>

#include "platform/Mutex.h"
#include "platform/Status.h"

namespace Vantor::platform {

// The handle of one thread. Its methods may be called from any thread but the one it runs;
// one controlling thread at a time (REQUIRES: external synchronization between controllers).
class Thread {
 public:
  // A thread still running when its handle goes is left to run on (detached).
  virtual ~Thread() = default;

  // Runs procedure on a new thread and returns once the thread has its identifier; an error
  // when no thread could be made.
  static Expected<std::unique_ptr<Thread>> start(std::function<std::uint32_t()> procedure);

  // The system's identifier of the thread, as currentThreadId() reports it there.
  virtual std::uint32_t id() const = 0;
  virtual bool isRunning() = 0;
  // The procedure's result once the thread has ended; a cancelled thread ends with the code
  // given to cancel(), one ended by an escaping exception with 0xFFFFFFFF.
  virtual std::uint32_t exitCode() = 0;
  // Waits up to waitMillis for the thread to end; true when it has.
  virtual bool wait(std::uint32_t waitMillis) = 0;
  // Asks the thread to end at its next cancellation point (every blocking call and sleep is
  // one); wait() tells when it has. An error when the request failed. Threads that may be
  // killed sleep in sleepCancellable().
  virtual Status cancel(std::uint32_t exitCode) = 0;
  // Stops the thread wherever it is until resume(); an error when it is not running. A thread
  // suspended while it holds a lock blocks every other thread that needs that lock.
  virtual Status suspend() = 0;
  virtual Status resume() = 0;
};

std::uint32_t currentThreadId();

// Sleeps the calling thread; the sleep is a cancellation point that the sanitizers follow
// through a kill. Threads that may be killed sleep here.
void sleepCancellable(std::chrono::milliseconds duration);

// An auto-reset event within the process: set() lets the next wait (or the one under way)
// return at once, and that wait consumes it. Waiting is a cancellation point, as in
// sleepCancellable, so a waiting worker can be killed. Safe for concurrent use.
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void set() LOCKS_EXCLUDED(mutex_);
  // Waits up to duration; true when the event was set.
  bool wait(std::chrono::milliseconds duration) LOCKS_EXCLUDED(mutex_);

 private:
  Mutex mutex_;
  std::condition_variable_any changed_;
  bool set_ GUARDED_BY(mutex_) = false;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_THREAD_H_
