// Items made in order on a thread of their own, ahead of the thread that takes them, up to a
// bound of what they weigh: a long database commit then leaves no core idle while the next
// files are read, and memory stays bounded.
#ifndef TARNWICK_REPORT_READAHEAD_H_
#define TARNWICK_REPORT_READAHEAD_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <thread>
#include <utility>

#include "platform/Mutex.h"

namespace Vantor::report {

template <typename Item>
class ReadAhead {
 public:
  // Makes items 0..count-1 with make(i), which must not throw; weight(item) is what an item
  // holds while it waits. The next item is made only while the waiting ones weigh less than
  // the bound: at most the bound and one item wait.
  ReadAhead(std::size_t count, std::function<std::uint64_t(const Item&)> weight,
            std::function<Item(std::size_t)> make, std::uint64_t bound)
      : count_(count), weight_(std::move(weight)), make_(std::move(make)), bound_(bound),
        maker_([this] { run(); }) {}

  ~ReadAhead() {
    {
      platform::MutexLock lock(&mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    maker_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next item, in order. REQUIRES: called at most count times, from one thread.
  Item next() LOCKS_EXCLUDED(mutex_) {
    platform::MutexLock lock(&mutex_);
    while (waiting_.empty()) changed_.wait(mutex_);
    auto [item, weight] = std::move(waiting_.front());
    waiting_.pop_front();
    waitingWeight_ -= weight;
    changed_.notify_all();
    return std::move(item);
  }

 private:
  void run() LOCKS_EXCLUDED(mutex_) {
    for (std::size_t i = 0; i < count_; ++i) {
      {
        platform::MutexLock lock(&mutex_);
        while (!stopping_ && waitingWeight_ >= bound_) changed_.wait(mutex_);
        if (stopping_) return;
      }
      Item item = make_(i);  // outside the lock: the taker goes on meanwhile
      std::uint64_t weight = weight_(item);
      platform::MutexLock lock(&mutex_);
      waiting_.emplace_back(std::move(item), weight);
      waitingWeight_ += weight;
      changed_.notify_all();
    }
  }

  const std::size_t count_;
  const std::function<std::uint64_t(const Item&)> weight_;
  const std::function<Item(std::size_t)> make_;
  const std::uint64_t bound_;
  platform::Mutex mutex_;
  std::condition_variable_any changed_;
  std::deque<std::pair<Item, std::uint64_t>> waiting_ GUARDED_BY(mutex_);
  std::uint64_t waitingWeight_ GUARDED_BY(mutex_) = 0;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread maker_;  // last: it starts once everything it uses is made
};

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_READAHEAD_H_
