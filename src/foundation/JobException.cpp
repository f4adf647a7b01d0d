#include "foundation/JobException.h"

namespace Vantor {

namespace {
constexpr std::string_view kTexts[] = {
    "No exception!",                                                         // JB_NONE
    "The job was never started. execute() missing or failed",                // JB_NEVER_STARTED
    "Unable to start the job. Consult OS error code for more details.",      // JB_UNABLE_TO_START
    "Unable to terminate the job. Consult OS error code for more details.",  // JB_UNABLE_TO_TERMINATE
    "The job is still running. This is not compatible with this method.",    // JB_STILL_RUNNING
    "An unknown error occured. Consult OS error code and contact developer.",  // JB_UNKNOWN_ERROR
    "Out of memory.",                                                          // JB_MEM
    "Unable to access external process.",                                      // JB_PROCESS
    "Unable to access thread in external process.",                            // JB_THREAD
};
}  // namespace

std::string JobException::description() const { return describe("Job", textOf(kTexts, getCode())); }

}  // namespace Vantor
