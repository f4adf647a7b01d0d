// The Linux layer has no class service: the documented descriptions stand in for it.
#include "platform/EventClasses.h"
#include "platform/SystemServices.h"

namespace Vantor::platform {

EventClasses& systemEventClasses() {
  static EventClassSet* classes = new EventClassSet(documentedProcessEventClasses());
  return *classes;
}

}  // namespace Vantor::platform
