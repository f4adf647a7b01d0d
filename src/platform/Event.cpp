#include "platform/Thread.h"

namespace Vantor::platform {

// Waiting differs between the platforms (how a cancelled thread leaves a wait); setting does
// not.
void Event::set() {
  {
    MutexLock lock(&mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

}  // namespace Vantor::platform
