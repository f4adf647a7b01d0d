#include "runtime/AgentMain.h"

#include <iostream>
#include <string>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "platform/Env.h"

namespace Vantor {

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

int agentMain(platform::Env& env, int argc, char** argv, const ProgramFactory& makeProgram) {
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
  env.raiseOpenFileLimit();
  ThreadMessages::Queue mainQueue;
  env.watchProcessSignals(
      [] {
        raiseQuitFlag();
        ThreadMessages::post(mainThreadId.load(), {kMessageClose, 0, 0});
      },
      [] { raiseReconfigureFlag(); });
  std::unique_ptr<Tarnwick> program = makeProgram(env, splitArguments(arguments));
  if (!program->configure()) {
    std::cerr << "tarnwick: " << program->startFailure() << std::endl;
    return 255;
  }
  program->run();
  return program->endedByFailure() ? 1 : 0;
}

}  // namespace Vantor
