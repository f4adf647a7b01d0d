#include "runtime/AgentMain.h"

#include <iostream>
#include <string>
#include <vector>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "foundation/Exception.h"
#include "foundation/TextUtils.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Registry.h"

namespace Vantor {

namespace {

const char kUsage[] =
    "usage: tarnwick [-c CONFIGURATION-FILE]\n"
    "       tarnwick --check [-c CONFIGURATION-FILE]\n"
    "       tarnwick --merge-registry DEFAULTS-FILE\n"
    "       tarnwick --help | --version\n"
    "\n"
    "Meters the use of applications on this machine and writes usage records into data\n"
    "files in its working directory. Settings come from the registry file ($VANTOR_REGISTRY,\n"
    "else /etc/vantor/registry.reg) and the configuration file (CONFIGURATION-FILE, else\n"
    "tarnwick.conf in the configuration directory). SIGTERM or SIGINT end it, SIGHUP makes it\n"
    "read its configuration again.\n"
    "\n"
    "--check reads everything a start reads, prints what the agent would do and every problem\n"
    "found, and ends with 0 when the agent would start, 1 when it would refuse; it takes no\n"
    "lock and writes nothing, so it may run beside the agent (before a reload, say).\n"
    "\n"
    "--merge-registry adds the values of DEFAULTS-FILE (a registry export) that the registry\n"
    "file lacks, as the agent writes it: under its lock, in one new copy.\n";

// A command line the agent cannot use: the usage on standard error, and status 2.
int usageError(const std::string& problem) {
  std::cerr << "tarnwick: " << problem << "\n" << kUsage;
  return 2;
}

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
  if (!arguments.empty() && arguments.front() == "--merge-registry") {
    if (arguments.size() != 2) return usageError("--merge-registry takes one DEFAULTS-FILE");
    return mergeRegistry(env, arguments[1]);
  }
  bool check = false;
  Arguments options = splitArguments(arguments);
  for (auto option = options.begin(); option != options.end();) {
    if (option->first == "check" && option->second.empty()) {
      check = true;
      option = options.erase(option);
    } else if (option->first == "c" && !option->second.empty() && option == options.begin()) {
      ++option;
    } else if (option->first == "c" && !option->second.empty()) {
      return usageError("one -c CONFIGURATION-FILE at most");
    } else if (option->first == "check") {
      return usageError("unexpected argument \"" + option->second + "\"");
    } else {
      return usageError(option->first.empty() ? "unexpected argument \"" + option->second + "\""
                        : option->first == "c"
                            ? "-c takes a CONFIGURATION-FILE"
                            : "unknown option \"" +
                                  std::string(option->first.size() == 1 ? "-" : "--") +
                                  option->first + "\"");
    }
  }
  if (check) {
    return makeProgram(env, options)->check(std::cout) ? 0 : 1;
  }
  env.raiseOpenFileLimit();
  ThreadMessages::Queue mainQueue;
  env.watchProcessSignals(
      [] {
        raiseQuitFlag();
        ThreadMessages::post(mainThreadId.load(), {kMessageClose, 0, 0});
      },
      [] { raiseReconfigureFlag(); });
  std::unique_ptr<Tarnwick> program = makeProgram(env, options);
  if (!program->configure()) {
    // Under a service manager the reason is an error of the journal's.
    std::cerr << (env.serviceManager().standardErrorIsJournal() ? "<3>" : "")
              << "tarnwick: " << TextUtils::shown(program->startFailure()) << std::endl;
    return 255;
  }
  program->run();
  return program->endedByFailure() ? 1 : 0;
}

}  // namespace Vantor
