// The counters of the "Process" performance object the performance monitor reads for each
// measured process, and how it aggregates each: a text file of lines "NAME | HOW", HOW one of
// "abs" (the last value), "sum", "avg", "max" or "min"; "#" starts a comment line. Names are
// the counters' English names, compared without regard to case. Immutable once loaded.
#ifndef TARNWICK_USAGE_COUNTERLIST_H_
#define TARNWICK_USAGE_COUNTERLIST_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Env.h"
#include "usage/CounterSample.h"

namespace Vantor {

struct CounterSpec {
  std::string name;  // as the file has it
  Aggregation aggregation = Aggregation::kLast;
  std::uint32_t index = 0;  // its title index; 0 when the object has no counter of that name
};

class CounterList {
 public:
  // Counters after this many are not read: each is a sample in every measured process.
  static constexpr std::size_t kMaxCounters = 256;

  // (title index, English name) of the counters there are.
  using NameTable = std::vector<std::pair<std::uint32_t, std::string>>;

  // False when the file cannot be read or names no counter the object has.
  bool loadCounterList(platform::Env& env, const std::string& path, const NameTable& names);
  void parse(std::string_view text, const NameTable& names);
  const std::vector<CounterSpec>& counters() const { return counters_; }
  // Whether the list named more than kMaxCounters counters.
  bool truncated() const { return truncated_; }
  // The title index of a listed counter by its English name as the table spells it ("Elapsed
  // Time"); 0 when the list does not name it.
  std::uint32_t indexOf(std::string_view englishName) const;

 private:
  std::vector<CounterSpec> counters_;
  std::map<std::string, std::uint32_t, std::less<>> indexes_;
  bool truncated_ = false;
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_COUNTERLIST_H_
