#include "support/SystemEnv.h"

namespace Vantor::testing {

platform::Env& systemEnv() {
  static platform::Env* env = platform::newSystemEnv().release();
  return *env;
}

}  // namespace Vantor::testing
