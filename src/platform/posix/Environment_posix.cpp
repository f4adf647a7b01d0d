#include <cstdlib>

#include "platform/SystemServices.h"

namespace Vantor::platform {

namespace {

class PosixEnvironment : public EnvironmentVariables {
 public:
  std::optional<std::string> get(const std::string& name) override {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }
};

}  // namespace

EnvironmentVariables& systemVariables() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* environment = new PosixEnvironment();
  return *environment;
}

}  // namespace Vantor::platform
