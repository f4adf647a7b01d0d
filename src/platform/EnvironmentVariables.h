// Process environment variables.
#ifndef TARNWICK_PLATFORM_ENVIRONMENTVARIABLES_H_
#define TARNWICK_PLATFORM_ENVIRONMENTVARIABLES_H_

#include <optional>
#include <string>

namespace Vantor::platform {

// Safe for concurrent readers; nothing in the agent changes its own environment.
class EnvironmentVariables {
 public:
  virtual ~EnvironmentVariables() = default;

  // The variable's value; nullopt when it is not set (an empty value is set).
  virtual std::optional<std::string> get(const std::string& name) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_ENVIRONMENTVARIABLES_H_
