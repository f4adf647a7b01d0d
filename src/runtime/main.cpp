// tarnwick: the application-usage metering agent. Runs in the foreground until it is told to
// end (SIGTERM, SIGINT or the Core's "DIE"); SIGHUP reads the configuration again.
#include <iostream>
#include <string>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "platform/CurrentProcess.h"
#include "platform/Signals.h"
#include "runtime/Tarnwick.h"

namespace {

const char kUsage[] =
    "usage: tarnwick [-c CONFIGURATION-FILE]\n"
    "       tarnwick --help | --version\n"
    "\n"
    "Meters the use of applications on this machine and writes usage records into data\n"
    "files in its working directory. Settings come from the registry file ($VANTOR_REGISTRY,\n"
    "else /etc/vantor/registry.reg) and the configuration file (CONFIGURATION-FILE, else\n"
    "tarnwick.conf in the configuration directory). SIGTERM or SIGINT end it, SIGHUP makes it\n"
    "read its configuration again.\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  for (const std::string& argument : arguments) {
    if (argument == "--help" || argument == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (argument == "--version") {
      std::cout << "tarnwick " << TARNWICK_VERSION << std::endl;
      return 0;
    }
  }
  Vantor::platform::raiseOpenFileLimit();
  Vantor::ThreadMessages::Queue mainQueue;
  Vantor::platform::watchProcessSignals(
      [] {
        Vantor::raiseQuitFlag();
        Vantor::ThreadMessages::post(Vantor::mainThreadId.load(), {Vantor::WM_CLOSE, 0, 0});
      },
      [] { Vantor::raiseReconfigureFlag(); });
  auto program = std::make_unique<Vantor::Tarnwick>(Vantor::splitArguments(arguments));
  if (!program->configure()) {
    std::cerr << "tarnwick: " << program->startFailure() << std::endl;
    return -1;
  }
  program->run();
  return 0;
}
