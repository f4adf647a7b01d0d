// Usage intervals held until their batch commits, and the load's plan for the report's index: so that they go in ordered as the report's
// index orders them (product, then start): a batch then writes runs of index pages instead of
// single entries all over an index that outgrew the cache. A file's intervals are kept as they
// came, never copied.
#ifndef TARNWICK_REPORT_PENDINGUSAGE_H_
#define TARNWICK_REPORT_PENDINGUSAGE_H_

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "report/ReportDatabase.h"
#include "usage/DataRecords.h"

namespace Vantor::report {

class PendingUsage {
 public:
  struct Entry {
    std::int64_t fileId;
    const UsageInterval* usage;
  };

  void add(std::int64_t fileId, std::vector<UsageInterval>&& usage) {
    count_ += usage.size();
    if (!usage.empty()) files_.emplace_back(fileId, std::move(usage));
  }
  // Before the pending batch is stored: whether the report's index is to be dropped now, once
  // this load has stored as many intervals as a quarter of those stored before it
  // (storedBefore is asked once, at the first batch).
  bool dropsIndexNow(const std::function<std::uint64_t()>& storedBefore) {
    if (!storedBefore_) storedBefore_ = storedBefore();
    droppedForBatch_ = !withoutIndex_ && loadsFasterWithoutIndex(loaded_ + count_, *storedBefore_);
    withoutIndex_ = withoutIndex_ || droppedForBatch_;
    return droppedForBatch_;
  }
  // After the batch's commit, or its rollback, which brings back an index dropped for it.
  void committed() {
    loaded_ += count_;
    droppedForBatch_ = false;
    clear();
  }
  void rolledBack() {
    if (droppedForBatch_) withoutIndex_ = false;
    droppedForBatch_ = false;
    clear();
  }
  bool loadedAny() const { return loaded_ > 0; }

  // The entries: in index order (product in byte order, then start) while the index is kept,
  // as they came once it is dropped.
  std::vector<Entry> entries() const {
    bool inIndexOrder = !withoutIndex_;
    std::vector<Entry> order;
    order.reserve(count_);
    for (const auto& [fileId, usage] : files_) {
      for (const UsageInterval& interval : usage) order.push_back({fileId, &interval});
    }
    if (!inIndexOrder) return order;
    std::sort(order.begin(), order.end(), [](const Entry& a, const Entry& b) {
      int byProduct = a.usage->product.compare(b.usage->product);
      return byProduct != 0 ? byProduct < 0 : a.usage->start < b.usage->start;
    });
    return order;
  }
  std::size_t size() const { return count_; }
  void clear() {
    files_.clear();
    count_ = 0;
  }

 private:
  std::vector<std::pair<std::int64_t, std::vector<UsageInterval>>> files_;
  std::size_t count_ = 0;
  // The load's: intervals stored before it and by it, and whether it dropped the index.
  std::optional<std::uint64_t> storedBefore_;
  std::uint64_t loaded_ = 0;
  bool withoutIndex_ = false;
  bool droppedForBatch_ = false;
};

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_PENDINGUSAGE_H_
