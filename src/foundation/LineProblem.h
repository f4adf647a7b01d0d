// A line of a text file that the agent reads but cannot use as it stands, and why: what a
// check of the configuration lists, and what the log warns of.
#ifndef TARNWICK_FOUNDATION_LINEPROBLEM_H_
#define TARNWICK_FOUNDATION_LINEPROBLEM_H_

#include <cstddef>
#include <string>

namespace Vantor {

struct LineProblem {
  std::size_t line = 0;  // 1-based
  std::string reason;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_LINEPROBLEM_H_
