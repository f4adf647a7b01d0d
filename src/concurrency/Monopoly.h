// The exclusive-access lock, in one of two kinds chosen at construction:
//  - in-process: recursive for the owning thread, with a non-blocking try, owner and count
//    bookkeeping, and renew(), which replaces the lock when its holder was killed;
//  - system-wide (named): a named mutex that is taken only when nobody else on the machine
//    holds it; it never waits.
// isLocked(), count() and owner() may be read from any thread without the lock.
#ifndef TARNWICK_CONCURRENCY_MONOPOLY_H_
#define TARNWICK_CONCURRENCY_MONOPOLY_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Env.h"
#include "platform/Mutex.h"
#include "platform/NamedMutex.h"

namespace Vantor {

class LOCKABLE Monopoly {
 public:
  Monopoly();                                  // in-process
  Monopoly(platform::Env& env, const std::string& name);  // named, among env's objects
  virtual ~Monopoly();
  Monopoly(const Monopoly&) = delete;
  Monopoly& operator=(const Monopoly&) = delete;

  // Makes this the named kind, a mutex among env's objects; '/' and '\' in the name become
  // '_'. False while held.
  bool setName(platform::Env& env, const std::string& name,
               platform::MutexTakers takers = platform::MutexTakers::kEveryone);

  // In-process: blocks until taken (recursive for the owner). Named: false at once when the
  // name is empty or someone else holds it.
  bool enforce() EXCLUSIVE_TRYLOCK_FUNCTION(true);
  // In-process only: waits up to wait (none by default); false with renewing set while a
  // renewal is under way.
  bool tryEnforce(bool& renewing, std::chrono::milliseconds wait = std::chrono::milliseconds(0))
      EXCLUSIVE_TRYLOCK_FUNCTION(true);
  // Releases one level. True when nothing was held. False when the calling thread is not the
  // owner of an in-process lock (a thread that was given up for dead must not release the
  // lock of its successor).
  bool relax() UNLOCK_FUNCTION();
  // In-process: throws the lock away and makes a fresh, free one, for a holder that was
  // killed. Threads blocked on the old lock stay blocked; waiters should use tryEnforce.
  void renew();

  bool isLocked() const { return locked_.load(); }
  bool isRenewing() const { return renewing_.load(); }
  std::int32_t count() const { return count_.load(); }
  std::uint32_t owner() const { return owner_.load(); }
  bool isNamed() const { return named_; }
  const std::string& name() const { return name_; }

 private:
  std::shared_ptr<std::recursive_mutex> currentLock();

  // The bookkeeping of the calling thread's hold on lock, which it has just entered.
  void noteTaken(std::shared_ptr<std::recursive_mutex> lock);
  // Wakes waiters of tryEnforce when the lock is set free (released or renewed).
  void noteFreed() LOCKS_EXCLUDED(freedMutex_);

  platform::Mutex freedMutex_;
  std::condition_variable_any freed_;
  std::uint64_t freedCount_ GUARDED_BY(freedMutex_) = 0;

  // The lock itself is replaced on renewal; the old one is kept so that no thread ever uses
  // a destroyed mutex.
  platform::Mutex swapMutex_;
  std::shared_ptr<std::recursive_mutex> lock_ GUARDED_BY(swapMutex_);
  std::shared_ptr<std::recursive_mutex> heldLock_;  // the one the owner entered

  bool named_ = false;
  platform::Env* env_ = nullptr;  // of the named kind
  std::string name_;
  platform::MutexTakers takers_ = platform::MutexTakers::kEveryone;
  std::unique_ptr<platform::NamedMutexHold> namedHold_;

  std::atomic<bool> locked_{false};
  std::atomic<bool> renewing_{false};
  std::atomic<std::int32_t> count_{0};
  std::atomic<std::uint32_t> owner_{0};
};

// Holds an in-process Monopoly for a scope; taking that kind never fails, it waits.
class SCOPED_LOCKABLE MonopolyLock {
 public:
  explicit MonopolyLock(Monopoly* monopoly) EXCLUSIVE_LOCK_FUNCTION(monopoly)
      : monopoly_(monopoly) {
    monopoly_->enforce();
  }
  ~MonopolyLock() UNLOCK_FUNCTION() { monopoly_->relax(); }
  MonopolyLock(const MonopolyLock&) = delete;
  MonopolyLock& operator=(const MonopolyLock&) = delete;

 private:
  Monopoly* const monopoly_;
};

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_MONOPOLY_H_
