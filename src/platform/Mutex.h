// A mutex the thread-safety analysis understands (std::mutex carries no annotations under
// libstdc++). Safe for concurrent use by multiple threads; not recursive.
#ifndef TARNWICK_PLATFORM_MUTEX_H_
#define TARNWICK_PLATFORM_MUTEX_H_

#include <mutex>

#include "platform/ThreadAnnotations.h"

namespace Vantor::platform {

class LOCKABLE Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() EXCLUSIVE_LOCK_FUNCTION() { mutex_.lock(); }
  void unlock() UNLOCK_FUNCTION() { mutex_.unlock(); }
  bool tryLock() EXCLUSIVE_TRYLOCK_FUNCTION(true) { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

class SCOPED_LOCKABLE MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) EXCLUSIVE_LOCK_FUNCTION(mutex) : mutex_(mutex) {
    mutex_->lock();
  }
  ~MutexLock() UNLOCK_FUNCTION() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_MUTEX_H_
