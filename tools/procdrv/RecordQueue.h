// The driver's queue: the records waiting for the agent, oldest first and at most a given
// number. What does not fit is counted and told to the agent as a record of its own, and the
// facts of the records handed out lately are kept for the agent to ask after.
#ifndef TARNWICK_TOOLS_PROCDRV_RECORDQUEUE_H_
#define TARNWICK_TOOLS_PROCDRV_RECORDQUEUE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/Mutex.h"
#include "sources/DriverProtocol.h"

namespace Vantor::procdrv {

class RecordQueue {
 public:
  // How many handed-out records keep their facts: the agent asks right after taking one.
  static constexpr std::size_t kFactsKept = 4096;

  explicit RecordQueue(std::size_t capacity) : capacity_(capacity) {}

  // False when the queue is full and the record was dropped (and counted).
  bool push(const DriverRecord& record, DriverFacts facts);
  // Records the kernel lost before they reached the queue, told with the dropped ones.
  void countLost(std::uint64_t count);
  // The next record: a "records lost" one stamped now first, when records were lost since the
  // last; none when the queue is empty.
  std::optional<DriverRecord> take(std::uint64_t now);
  // As many records as fit in capacity bytes, with their facts, in a batch answer; a "records
  // lost" one first as take() gives it. Empty when none waits.
  std::vector<std::uint8_t> takeBatch(std::uint64_t now, std::uint32_t capacity);
  // The facts of a record handed out lately; none known gives empty facts.
  DriverFacts factsOf(const DriverRecord& record);
  // Forgets every record and fact: a new reader starts from its connection. The records
  // nobody took are counted as discarded; returns how many.
  std::size_t clear();
  // Records that did not fit, and records discarded unread.
  std::uint64_t dropped() const;
  std::uint64_t discarded() const;
  std::uint64_t handedOut() const;
  // Records the kernel lost, as countLost() was told of them.
  std::uint64_t lostInKernel() const;

 private:
  using Key = std::tuple<std::uint32_t, std::uint64_t, std::uint32_t>;
  struct Entry {
    DriverRecord record;
    DriverFacts facts;
  };
  static Key keyOf(const DriverRecord& record) { return {record.pid, record.time, record.created}; }
  std::optional<DriverRecord> takeLostRecord(std::uint64_t now) EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const std::size_t capacity_;
  mutable platform::Mutex mutex_;
  std::deque<Entry> queue_ GUARDED_BY(mutex_);
  std::uint64_t unreported_ GUARDED_BY(mutex_) = 0;
  std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  std::uint64_t discarded_ GUARDED_BY(mutex_) = 0;
  std::uint64_t handedOut_ GUARDED_BY(mutex_) = 0;
  std::uint64_t lostInKernel_ GUARDED_BY(mutex_) = 0;
  std::map<Key, DriverFacts> kept_ GUARDED_BY(mutex_);
  std::deque<Key> keptOrder_ GUARDED_BY(mutex_);
};

}  // namespace Vantor::procdrv

#endif  // TARNWICK_TOOLS_PROCDRV_RECORDQUEUE_H_
