// tarnwick: the application-usage metering agent. Runs in the foreground until it is told to
// end (SIGTERM, SIGINT or the Core's "DIE"); SIGHUP reads the configuration again.
#include "runtime/AgentMain.h"

int main(int argc, char** argv) {
  return Vantor::agentMain(argc, argv, [](Vantor::Arguments arguments) {
    return std::make_unique<Vantor::Tarnwick>(std::move(arguments));
  });
}
