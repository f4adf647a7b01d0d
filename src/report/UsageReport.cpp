#include "report/UsageReport.h"

#include <algorithm>
#include <functional>
#include <map>
#include <queue>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace Vantor::report {

namespace {

// Names as small numbers, for the sets and counts of one product.
class Names {
 public:
  std::uint32_t idOf(const std::string& name) {
    return ids_.try_emplace(name, static_cast<std::uint32_t>(ids_.size())).first->second;
  }

 private:
  std::unordered_map<std::string, std::uint32_t> ids_;
};

// The running processes of one product (or one product and group) as the starts come in order.
class Sweep {
 public:
  // A process running over [start, end), for seconds of use.
  void add(std::int64_t start, std::int64_t end, std::int64_t seconds, std::uint32_t user,
           std::uint32_t computer, const std::string& timeClass) {
    endUntil(start);
    ++processes_;
    if (running_[user]++ == 0) ++users_;
    if (users_ > usage_.peakUsers) {
      usage_.peakUsers = users_;
      usage_.peakUsersAt = start;
    }
    usage_.peakProcesses = std::max(usage_.peakProcesses, processes_);
    ends_.emplace(end, user);
    seenUsers_.insert(user);
    seenComputers_.insert(computer);
    // Summed in whole seconds: a sum of fractions would depend on the order rows that start
    // together come in, which differs between databases.
    seconds_ += seconds;
    if (timeClass == "prime") primeSeconds_ += seconds;
    if (timeClass == "non-prime") nonPrimeSeconds_ += seconds;
  }

  ProductUsage finish(std::string product, std::string group) {
    usage_.product = std::move(product);
    usage_.group = std::move(group);
    usage_.hours = static_cast<double>(seconds_) / 3600.0;
    usage_.primeHours = static_cast<double>(primeSeconds_) / 3600.0;
    usage_.nonPrimeHours = static_cast<double>(nonPrimeSeconds_) / 3600.0;
    usage_.users = seenUsers_.size();
    usage_.computers = seenComputers_.size();
    return usage_;
  }

 private:
  // Ends first: an interval that ends where another starts is not running beside it.
  void endUntil(std::int64_t time) {
    while (!ends_.empty() && ends_.top().first <= time) {
      std::uint32_t user = ends_.top().second;
      ends_.pop();
      --processes_;
      if (--running_[user] == 0) --users_;
    }
  }

  using End = std::pair<std::int64_t, std::uint32_t>;
  std::priority_queue<End, std::vector<End>, std::greater<>> ends_;
  std::unordered_map<std::uint32_t, std::size_t> running_;
  std::size_t users_ = 0;
  std::size_t processes_ = 0;
  std::unordered_set<std::uint32_t> seenUsers_;
  std::unordered_set<std::uint32_t> seenComputers_;
  std::int64_t seconds_ = 0;
  std::int64_t primeSeconds_ = 0;
  std::int64_t nonPrimeSeconds_ = 0;
  ProductUsage usage_;
};

}  // namespace

bool runningInPeriod(const IntervalRow& row, const IntervalQuery& query, std::int64_t* start,
                     std::int64_t* end) {
  *start = std::max(row.start, query.from);
  *end = std::min(row.start + std::max<std::int64_t>(row.length, 1), query.to);
  return *end > *start;
}

std::vector<ProductUsage> computeUsage(ReportDatabase& database, const IntervalQuery& query,
                                       Grouping grouping) {
  std::vector<ProductUsage> result;
  std::string product;
  std::map<std::string, Sweep> sweeps;  // by group
  Names users;
  Names computers;
  auto finishProduct = [&] {
    for (auto& [group, sweep] : sweeps) result.push_back(sweep.finish(product, group));
    sweeps.clear();
    users = Names();
    computers = Names();
  };
  database.eachInterval(query, [&](const IntervalRow& row) {
    if (row.product != product) {
      finishProduct();
      product = row.product;
    }
    std::int64_t start = 0;
    std::int64_t end = 0;
    if (!runningInPeriod(row, query, &start, &end)) return;
    static const std::string kWhole;
    const std::string& group = grouping == Grouping::kUser       ? row.user
                               : grouping == Grouping::kComputer ? row.computer
                                                                 : kWhole;
    std::int64_t seconds = std::min(row.start + row.length, query.to) - start;
    sweeps[group].add(start, end, std::max<std::int64_t>(seconds, 0), users.idOf(row.user),
                      computers.idOf(row.computer), row.timeClass);
  });
  finishProduct();
  return result;
}

}  // namespace Vantor::report
