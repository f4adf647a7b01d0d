#include "platform/Env.h"

namespace Vantor::platform {

Env& processEnv() {
  static Env* env = newSystemEnv().release();
  return *env;
}

}  // namespace Vantor::platform
