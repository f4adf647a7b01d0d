// tarnwick: the application-usage metering agent. Runs in the foreground until it is told to
// end (SIGTERM, SIGINT or the Core's "DIE"); SIGHUP reads the configuration again.
#include "runtime/AgentMain.h"

int main(int argc, char** argv) {
  // Never destroyed: a worker given up for dead may still be using it as the process ends.
  static Vantor::platform::Env* const env = Vantor::platform::newSystemEnv().release();
  return Vantor::agentMain(*env, argc, argv,
                           [](Vantor::platform::Env& env, Vantor::Arguments arguments) {
                             return std::make_unique<Vantor::Tarnwick>(env, std::move(arguments));
                           });
}
