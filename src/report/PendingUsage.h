// Usage intervals held until their batch commits, so that they go in ordered as the report's
// index orders them (product, then start): a batch then writes runs of index pages instead of
// single entries all over an index that outgrew the cache.
#ifndef TARNWICK_REPORT_PENDINGUSAGE_H_
#define TARNWICK_REPORT_PENDINGUSAGE_H_

#include <algorithm>
#include <cstdint>
#include <vector>

#include "usage/DataRecords.h"

namespace Vantor::report {

class PendingUsage {
 public:
  struct Entry {
    std::int64_t fileId;
    UsageInterval usage;
  };

  void add(std::int64_t fileId, std::vector<UsageInterval>&& usage) {
    for (UsageInterval& interval : usage) entries_.push_back({fileId, std::move(interval)});
  }
  // The entries in the order they came, or in index order (product in byte order, then start).
  std::vector<const Entry*> entries(bool inIndexOrder) const {
    std::vector<const Entry*> order;
    order.reserve(entries_.size());
    for (const Entry& entry : entries_) order.push_back(&entry);
    if (!inIndexOrder) return order;
    std::sort(order.begin(), order.end(), [](const Entry* a, const Entry* b) {
      int byProduct = a->usage.product.compare(b->usage.product);
      return byProduct != 0 ? byProduct < 0 : a->usage.start < b->usage.start;
    });
    return order;
  }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }

 private:
  std::vector<Entry> entries_;
};

}  // namespace Vantor::report

#endif  // TARNWICK_REPORT_PENDINGUSAGE_H_
