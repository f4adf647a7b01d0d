// The system's environment for tests, which have no main() of their own to make it.
#ifndef TARNWICK_TESTS_SUPPORT_SYSTEMENV_H_
#define TARNWICK_TESTS_SUPPORT_SYSTEMENV_H_

#include "platform/Env.h"

namespace Vantor::testing {

// Made on first use and shared by every test of the program.
platform::Env& systemEnv();

// Whether the tests run under Wine, whose system services some tests cannot count on.
bool runsUnderWine();

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_SYSTEMENV_H_
