#include <cstdlib>

#include "platform/Environment.h"

namespace Vantor::platform {

namespace {

class PosixEnvironment : public Environment {
 public:
  std::optional<std::string> get(const std::string& name) override {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
  }
};

}  // namespace

Environment& Environment::Default() {
  static PosixEnvironment environment;
  return environment;
}

}  // namespace Vantor::platform
