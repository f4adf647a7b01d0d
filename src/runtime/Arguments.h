// The command line as (option, value) pairs: "-c path" or "-cpath", "--name value", bare
// values with an empty option, an option at the end with an empty value. Each argument is
// one token, so values keep their hyphens (paths such as /tmp/a-b). Pure.
#ifndef TARNWICK_RUNTIME_ARGUMENTS_H_
#define TARNWICK_RUNTIME_ARGUMENTS_H_

#include <string>
#include <utility>
#include <vector>

namespace Vantor {

using Arguments = std::vector<std::pair<std::string, std::string>>;

// The arguments after the program name.
Arguments splitArguments(const std::vector<std::string>& arguments);

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_ARGUMENTS_H_
