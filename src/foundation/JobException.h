// Errors of the thread jobs.
#ifndef TARNWICK_FOUNDATION_JOBEXCEPTION_H_
#define TARNWICK_FOUNDATION_JOBEXCEPTION_H_

#include "foundation/Exception.h"

namespace Vantor {

class JobException : public Exception {
 public:
  enum Code : std::int32_t {
    JB_NONE = 0,
    JB_NEVER_STARTED = 1,
    JB_UNABLE_TO_START = 2,
    JB_UNABLE_TO_TERMINATE = 3,
    JB_STILL_RUNNING = 4,
    JB_UNKNOWN_ERROR = 5,
    JB_MEM = 6,
    JB_PROCESS = 7,
    JB_THREAD = 8,
  };

  using Exception::Exception;

  std::string description() const override;
  std::int32_t classNumber() const override { return 43; }
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_JOBEXCEPTION_H_
