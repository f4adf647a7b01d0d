// Windows services report through the service control manager, which the agent does not run
// under: nothing asks to be told.
#include "platform/SystemServices.h"

namespace Vantor::platform {

namespace {

class NoServiceManager : public ServiceManager {
 public:
  bool listens() const override { return false; }
  bool notify(const std::string&) override { return false; }
  std::chrono::microseconds watchdogInterval() const override { return {}; }
  bool standardErrorIsJournal() const override { return false; }
};

}  // namespace

ServiceManager& systemServiceManager() {
  static NoServiceManager manager;
  return manager;
}

}  // namespace Vantor::platform
