#include "concurrency/RenewableMutex.h"

#include <chrono>
#include <thread>
#include <vector>

#include "platform/Thread.h"

namespace Vantor {

namespace {

// Replaced locks of all RenewableMutex objects: a thread may still be blocked on one.
platform::Mutex graveyardMutex;
std::vector<std::shared_ptr<std::recursive_mutex>>& graveyard() {
  static auto* locks = new std::vector<std::shared_ptr<std::recursive_mutex>>;
  return *locks;
}

}  // namespace

RenewableMutex::RenewableMutex() : lock_(std::make_shared<std::recursive_mutex>()) {}

std::shared_ptr<std::recursive_mutex> RenewableMutex::currentLock() {
  platform::MutexLock lock(&swapMutex_);
  return lock_;
}

void RenewableMutex::enforce() NO_THREAD_SAFETY_ANALYSIS {
  // In bounded tries rather than a wait on the lock itself: a renewal replaces it, and a
  // thread blocked on the old one would wait for good.
  constexpr auto kTry = std::chrono::milliseconds(100);
  bool renewing = false;
  while (!tryEnforce(renewing, kTry)) {
    if (!renewing) continue;
    platform::MutexLock waiting(&freedMutex_);
    freed_.wait_for(freedMutex_, kTry,
                    [&]() NO_THREAD_SAFETY_ANALYSIS { return !renewing_.load(); });
  }
}

bool RenewableMutex::tryEnforce(bool& renewing,
                                std::chrono::milliseconds wait) NO_THREAD_SAFETY_ANALYSIS {
  auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    if (renewing_.load()) {
      renewing = true;
      return false;
    }
    renewing = false;
    std::uint64_t seen;
    {
      platform::MutexLock lock(&freedMutex_);
      seen = freedCount_;
    }
    std::shared_ptr<std::recursive_mutex> lock = currentLock();
    if (lock->try_lock()) {
      noteTaken(std::move(lock));
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) return false;
    // Until the holder sets it free (a release seen after the try above counts too).
    platform::MutexLock waiting(&freedMutex_);
    freed_.wait_until(freedMutex_, deadline,
                      [&]() NO_THREAD_SAFETY_ANALYSIS { return freedCount_ != seen; });
  }
}

bool RenewableMutex::takeWithin(std::chrono::milliseconds patience,
                                const std::function<bool(std::uint32_t owner)>& alive)
    NO_THREAD_SAFETY_ANALYSIS {
  // Short tries, so that a renewal under way is followed rather than waited out.
  constexpr auto kTry = std::chrono::milliseconds(100);
  constexpr auto kRenewalPause = std::chrono::milliseconds(20);
  for (int round = 0; round < 2; ++round) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
      bool renewing = false;
      if (tryEnforce(renewing, kTry)) return true;
      while (renewing_.load()) std::this_thread::sleep_for(kRenewalPause);
    }
    std::uint32_t holder = owner_.load();
    if (renewing_.load() || round == 1 || (holder != 0 && alive(holder))) return false;
    renew();
  }
  return false;
}

void RenewableMutex::noteTaken(std::shared_ptr<std::recursive_mutex> lock) {
  heldLock_ = std::move(lock);
  locked_.store(true);
  count_.fetch_add(1);
  owner_.store(platform::currentThreadId());
}

void RenewableMutex::noteFreed() {
  {
    platform::MutexLock lock(&freedMutex_);
    ++freedCount_;
  }
  freed_.notify_all();
}

bool RenewableMutex::relax() NO_THREAD_SAFETY_ANALYSIS {
  if (!locked_.load()) return true;
  if (owner_.load() != platform::currentThreadId()) return false;
  std::shared_ptr<std::recursive_mutex> lock = heldLock_;
  bool freed = count_.fetch_sub(1) == 1;
  if (freed) {
    owner_.store(0);
    locked_.store(false);
    heldLock_.reset();
  }
  lock->unlock();
  if (freed) noteFreed();
  return true;
}

void RenewableMutex::renew() {
  renewing_.store(true);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  auto fresh = std::make_shared<std::recursive_mutex>();
  {
    platform::MutexLock lock(&swapMutex_);
    std::swap(lock_, fresh);
  }
  {
    platform::MutexLock lock(&graveyardMutex);
    graveyard().push_back(std::move(fresh));
  }
  // The holder is gone: its bookkeeping goes with it, or the next holder would inherit its
  // count and never be seen as free again.
  owner_.store(0);
  count_.store(0);
  locked_.store(false);
  renewing_.store(false);
  noteFreed();
}

}  // namespace Vantor
