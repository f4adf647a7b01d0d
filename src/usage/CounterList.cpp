#include "usage/CounterList.h"

#include "foundation/Exception.h"
#include "foundation/TextUtils.h"

namespace Vantor {

namespace {

Aggregation aggregationOf(std::string_view word) {
  constexpr std::pair<std::string_view, Aggregation> kWords[] = {{"sum", Aggregation::kSum},
                                                                 {"avg", Aggregation::kAverage},
                                                                 {"max", Aggregation::kMaximum},
                                                                 {"min", Aggregation::kMinimum}};
  for (const auto& [name, aggregation] : kWords) {
    if (word == name) return aggregation;
  }
  return Aggregation::kLast;  // "abs", and anything unknown
}

}  // namespace

bool CounterList::loadCounterList(platform::Env& env, const std::string& path,
                                  const NameTable& names) {
  std::string text;
  try {
    text = TextUtils::readTextFile(env, path);
  } catch (const Exception&) {
    return false;
  }
  parse(text, names);
  return !indexes_.empty();
}

void CounterList::parse(std::string_view text, const NameTable& names) {
  counters_.clear();
  indexes_.clear();
  truncated_ = false;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = TextUtils::trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    if (counters_.size() == kMaxCounters) {
      truncated_ = true;
      return;
    }
    std::size_t bar = line.find('|');
    CounterSpec counter;
    // The blanks around the bar are the file's layout, not part of the name.
    counter.name = TextUtils::trimmed(line.substr(0, bar));
    if (bar != std::string_view::npos) {
      counter.aggregation = aggregationOf(TextUtils::trimmed(line.substr(bar + 1)));
    }
    std::string wanted = TextUtils::lowered(counter.name);
    for (const auto& [index, name] : names) {
      if (TextUtils::lowered(name) != wanted) continue;
      counter.index = index;
      // The records find their counters by the table's spelling, whatever the file's case.
      indexes_.emplace(name, index);
      break;
    }
    counters_.push_back(std::move(counter));
  }
}

std::uint32_t CounterList::indexOf(std::string_view englishName) const {
  auto found = indexes_.find(englishName);
  return found == indexes_.end() ? 0 : found->second;
}

}  // namespace Vantor
