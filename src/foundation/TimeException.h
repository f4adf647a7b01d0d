// Errors of the time values.
#ifndef TARNWICK_FOUNDATION_TIMEEXCEPTION_H_
#define TARNWICK_FOUNDATION_TIMEEXCEPTION_H_

#include "foundation/Exception.h"

namespace Vantor {

// Shares its class number with IPCException: a code string alone does not tell them apart.
class TimeException : public Exception {
 public:
  enum Code : std::int32_t {
    TM_NONE = 0,
    TM_DAYS = 1,
    TM_HOURS = 2,
    TM_MINUTES = 3,
    TM_SECONDS = 4,
    TM_YEAR = 5,
    TM_MONTH = 6,
    TM_DAY = 7,
    TM_DATETIME = 8,
    TM_ANCIENT = 9,
    TM_INPUT = 10,
  };

  using Exception::Exception;

  std::string description() const override;
  std::int32_t classNumber() const override { return 4; }
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_TIMEEXCEPTION_H_
