// An in-process lock, recursive for the thread that holds it, with a bounded try, owner and
// count bookkeeping, and renew(), which replaces the lock when its holder was killed. A
// thread waiting for it follows a renewal: it takes the fresh lock once that is free.
// isLocked(), count() and owner() may be read from any thread without the lock.
#ifndef TARNWICK_CONCURRENCY_RENEWABLEMUTEX_H_
#define TARNWICK_CONCURRENCY_RENEWABLEMUTEX_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/Mutex.h"

namespace Vantor {

class LOCKABLE RenewableMutex {
 public:
  RenewableMutex();
  RenewableMutex(const RenewableMutex&) = delete;
  RenewableMutex& operator=(const RenewableMutex&) = delete;

  // Waits until taken (recursive for the owner).
  void enforce() EXCLUSIVE_LOCK_FUNCTION();
  // Waits up to wait (none by default); false with renewing set while a renewal is under way.
  bool tryEnforce(bool& renewing, std::chrono::milliseconds wait = std::chrono::milliseconds(0))
      EXCLUSIVE_TRYLOCK_FUNCTION(true);
  // Waits up to patience, following renewals. When the time runs out while a holder that
  // alive() says is gone keeps the lock (it was killed after supervision gave it up), renews
  // the lock and waits as long once more; a second time-out gives up.
  bool takeWithin(std::chrono::milliseconds patience,
                  const std::function<bool(std::uint32_t owner)>& alive)
      EXCLUSIVE_TRYLOCK_FUNCTION(true);
  // Releases one level. True when nothing was held. False when the calling thread is not the
  // owner (a thread that was given up for dead must not release the lock of its successor).
  bool relax() UNLOCK_FUNCTION();
  // Throws the lock away and makes a fresh, free one, for a holder that was killed; threads
  // waiting for the old one wake and wait for the fresh one.
  void renew();

  bool isLocked() const { return locked_.load(); }
  bool isRenewing() const { return renewing_.load(); }
  std::int32_t count() const { return count_.load(); }
  std::uint32_t owner() const { return owner_.load(); }

 private:
  std::shared_ptr<std::recursive_mutex> currentLock();

  // The bookkeeping of the calling thread's hold on lock, which it has just entered.
  void noteTaken(std::shared_ptr<std::recursive_mutex> lock);
  // Wakes waiters when the lock is set free (released or renewed).
  void noteFreed() LOCKS_EXCLUDED(freedMutex_);

  platform::Mutex freedMutex_;
  std::condition_variable_any freed_;
  std::uint64_t freedCount_ GUARDED_BY(freedMutex_) = 0;

  // The lock itself is replaced on renewal; the old one is kept so that no thread ever uses
  // a destroyed mutex.
  platform::Mutex swapMutex_;
  std::shared_ptr<std::recursive_mutex> lock_ GUARDED_BY(swapMutex_);
  std::shared_ptr<std::recursive_mutex> heldLock_;  // the one the owner entered

  std::atomic<bool> locked_{false};
  std::atomic<bool> renewing_{false};
  std::atomic<std::int32_t> count_{0};
  std::atomic<std::uint32_t> owner_{0};
};

// Holds a RenewableMutex for a scope.
class SCOPED_LOCKABLE RenewableMutexLock {
 public:
  explicit RenewableMutexLock(RenewableMutex* mutex) EXCLUSIVE_LOCK_FUNCTION(mutex)
      : mutex_(mutex) {
    mutex_->enforce();
  }
  ~RenewableMutexLock() UNLOCK_FUNCTION() { mutex_->relax(); }
  RenewableMutexLock(const RenewableMutexLock&) = delete;
  RenewableMutexLock& operator=(const RenewableMutexLock&) = delete;

 private:
  RenewableMutex* const mutex_;
};

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_RENEWABLEMUTEX_H_
