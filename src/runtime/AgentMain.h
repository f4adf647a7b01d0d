// The start of the metering program, shared by the shipped binary and the test build that adds
// its own workers: options, the signals, configuration, the run, and the exit status.
#ifndef TARNWICK_RUNTIME_AGENTMAIN_H_
#define TARNWICK_RUNTIME_AGENTMAIN_H_

#include <functional>
#include <memory>

#include "platform/Env.h"
#include "runtime/Arguments.h"
#include "runtime/Tarnwick.h"

namespace Vantor {

using ProgramFactory = std::function<std::unique_ptr<Tarnwick>(platform::Env&, Arguments)>;

// Runs the program makeProgram makes, in env. 0 after a normal end; 255 when the program could
// not start (the reason is on stderr).
int agentMain(platform::Env& env, int argc, char** argv, const ProgramFactory& makeProgram);

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_AGENTMAIN_H_
