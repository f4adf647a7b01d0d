#include "concurrency/ErrorName.h"

#include <algorithm>
#include <iterator>

#include "concurrency/ErrorNameTable.h"

namespace Vantor {

std::string errorName(std::uint32_t code) {
  const auto* end = std::end(ErrorNameTable::kRows);
  const auto* row = std::lower_bound(std::begin(ErrorNameTable::kRows), end, code,
                                     [](const ErrorNameTable::Row& candidate,
                                        std::uint32_t wanted) { return candidate.code < wanted; });
  return row != end && row->code == code ? row->name : "<unknown>";
}

}  // namespace Vantor
