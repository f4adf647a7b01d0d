#include "foundation/Wildcard.h"

#include <cstddef>

namespace Vantor {

bool wildcardMatch(std::string_view pattern, std::string_view name) {
  // Greedy match with one backtrack point: the last '*' seen. Enough for '*' and '?'
  // and free of the exponential blow-up of naive recursion.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starAt = std::string_view::npos;
  std::size_t resumeAt = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      starAt = p++;
      resumeAt = n;
    } else if (starAt != std::string_view::npos) {
      p = starAt + 1;
      n = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace Vantor
