// tarnwick: the application-usage metering agent. Runs in the foreground until it is told to
// end (SIGTERM, SIGINT or the Core's "DIE"); SIGHUP reads the configuration again.
#include "runtime/AgentMain.h"

int main(int argc, char** argv) {
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  return Vantor::agentMain(*env, argc, argv,
                           [](Vantor::platform::Env& env, Vantor::Arguments arguments) {
                             return std::make_unique<Vantor::Tarnwick>(env, std::move(arguments));
                           });
}
