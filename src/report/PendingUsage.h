// Usage intervals held until their batch commits, so that they go in ordered as the report's
// index orders them (product, then start): a batch then writes runs of index pages instead of
// single entries all over an index that outgrew the cache. A file's intervals are kept as they
// came, never copied.
#ifndef TARNWICK_REPORT_PENDINGUSAGE_H_
#define TARNWICK_REPORT_PENDINGUSAGE_H_

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

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
  // The entries in the order they came, or in index order (product in byte order, then start).
  std::vector<Entry> entries(bool inIndexOrder) const {
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
};

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_PENDINGUSAGE_H_
