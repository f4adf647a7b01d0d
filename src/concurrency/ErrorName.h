// The symbolic name of a Windows system error code, for log lines.
#ifndef TARNWICK_CONCURRENCY_ERRORNAME_H_
#define TARNWICK_CONCURRENCY_ERRORNAME_H_

#include <cstdint>
#include <string>

namespace Vantor {

// "ERROR_SUCCESS" for 0, "WAIT_TIMEOUT" for 258, ...; "<unknown>" for a code without a name
// and for every code above 1642.
std::string errorName(std::uint32_t code);

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_ERRORNAME_H_
