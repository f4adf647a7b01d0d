#include "procdrv/RecordQueue.h"

#include <algorithm>
#include <limits>

namespace Vantor::procdrv {

bool RecordQueue::push(const DriverRecord& record, DriverFacts facts) {
  platform::MutexLock lock(&mutex_);
  if (queue_.size() >= capacity_) {
    ++dropped_;
    ++unreported_;
    return false;
  }
  queue_.push_back({record, std::move(facts)});
  return true;
}

void RecordQueue::countLost(std::uint64_t count) {
  platform::MutexLock lock(&mutex_);
  unreported_ += count;
  lostInKernel_ += count;
}

std::optional<DriverRecord> RecordQueue::takeLostRecord(std::uint64_t now) {
  if (unreported_ == 0) return std::nullopt;
  DriverRecord lost;
  lost.time = now;
  lost.created = static_cast<std::uint32_t>(DriverRecordKind::kRecordsLost);
  std::uint64_t told =
      std::min<std::uint64_t>(unreported_, std::numeric_limits<std::uint32_t>::max());
  lost.exitStatus = static_cast<std::uint32_t>(told);
  unreported_ -= told;
  return lost;
}

std::vector<std::uint8_t> RecordQueue::takeBatch(std::uint64_t now, std::uint32_t capacity) {
  platform::MutexLock lock(&mutex_);
  std::vector<std::uint8_t> batch;
  // Most records are a few dozen bytes with their facts.
  batch.reserve(std::min<std::size_t>(capacity, 4 + (queue_.size() + 1) * 128));
  if (std::optional<DriverRecord> lost = takeLostRecord(now)) {
    appendDriverBatchEntry(batch, *lost, {}, capacity);
  }
  while (!queue_.empty()) {
    Entry& entry = queue_.front();
    if (!appendDriverBatchEntry(batch, entry.record, entry.facts, capacity)) break;
    queue_.pop_front();
    ++handedOut_;
  }
  return batch;
}

std::optional<DriverRecord> RecordQueue::take(std::uint64_t now) {
  platform::MutexLock lock(&mutex_);
  if (std::optional<DriverRecord> lost = takeLostRecord(now)) return lost;
  if (queue_.empty()) return std::nullopt;
  Entry entry = std::move(queue_.front());
  queue_.pop_front();
  ++handedOut_;
  Key key = keyOf(entry.record);
  if (kept_.insert_or_assign(key, std::move(entry.facts)).second) keptOrder_.push_back(key);
  if (keptOrder_.size() > kFactsKept) {
    kept_.erase(keptOrder_.front());
    keptOrder_.pop_front();
  }
  return entry.record;
}

DriverFacts RecordQueue::factsOf(const DriverRecord& record) {
  platform::MutexLock lock(&mutex_);
  auto found = kept_.find(keyOf(record));
  return found == kept_.end() ? DriverFacts{} : found->second;
}

std::size_t RecordQueue::clear() {
  platform::MutexLock lock(&mutex_);
  std::size_t discarded = queue_.size();
  discarded_ += discarded;
  queue_.clear();
  kept_.clear();
  keptOrder_.clear();
  unreported_ = 0;
  return discarded;
}

std::uint64_t RecordQueue::dropped() const {
  platform::MutexLock lock(&mutex_);
  return dropped_;
}

std::uint64_t RecordQueue::discarded() const {
  platform::MutexLock lock(&mutex_);
  return discarded_;
}

std::uint64_t RecordQueue::lostInKernel() const {
  platform::MutexLock lock(&mutex_);
  return lostInKernel_;
}

std::uint64_t RecordQueue::handedOut() const {
  platform::MutexLock lock(&mutex_);
  return handedOut_;
}

}  // namespace Vantor::procdrv
