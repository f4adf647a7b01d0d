// File-name wildcards: '*' matches any run of characters (also none), '?' exactly one.
#ifndef TARNWICK_FOUNDATION_WILDCARD_H_
#define TARNWICK_FOUNDATION_WILDCARD_H_

#include <string_view>

namespace Vantor {

// Case-sensitive; runs in time proportional to name size times pattern size at worst.
bool wildcardMatch(std::string_view pattern, std::string_view name);

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_WILDCARD_H_
