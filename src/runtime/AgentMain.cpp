#include "runtime/AgentMain.h"

#include <iostream>
#include <string>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "foundation/Exception.h"
#include "foundation/TextUtils.h"
#include "platform/ErrorCodes.h"
#include "platform/Registry.h"
#include "platform/Env.h"

namespace Vantor {

namespace {

const char kUsage[] =
    "usage: tarnwick [-c CONFIGURATION-FILE]\n"
    "       tarnwick --merge-registry DEFAULTS-FILE\n"
    "       tarnwick --help | --version\n"
    "\n"
    "Meters the use of applications on this machine and writes usage records into data\n"
    "files in its working directory. Settings come from the registry file ($VANTOR_REGISTRY,\n"
    "else /etc/vantor/registry.reg) and the configuration file (CONFIGURATION-FILE, else\n"
    "tarnwick.conf in the configuration directory). SIGTERM or SIGINT end it, SIGHUP makes it\n"
    "read its configuration again.\n"
    "\n"
    "--merge-registry adds the values of DEFAULTS-FILE (a registry export) that the registry\n"
    "file lacks, as the agent writes it: under its lock, in one new copy.\n";

// Adds the package's new values to the registry file; the exit status.
int mergeRegistry(platform::Env& env, const std::string& defaultsFile) {
  std::string defaults;
  try {
    defaults = TextUtils::readTextFile(env, defaultsFile);
  } catch (const Exception& error) {
    std::cerr << "tarnwick: cannot read " << defaultsFile << ": " << error.getFullText()
              << std::endl;
    return 1;
  }
  std::uint32_t code = env.registry().addMissingStrings(defaults);
  if (code == platform::kErrorInvalidData) {
    std::cerr << "tarnwick: " << defaultsFile << " holds no registry value to add" << std::endl;
    return 1;
  }
  if (code != platform::kErrorSuccess) {
    std::cerr << "tarnwick: cannot write " << env.registry().location() << ": "
              << env.errorText(code) << std::endl;
    return 1;
  }
  return 0;
}

}  // namespace

int agentMain(platform::Env& env, int argc, char** argv, const ProgramFactory& makeProgram) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (!arguments.empty() && arguments.front() == "--merge-registry") {
    if (arguments.size() != 2) {
      std::cerr << kUsage;
      return 1;
    }
    return mergeRegistry(env, arguments[1]);
  }
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
