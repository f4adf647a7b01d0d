// Errors of the mailslot transport.
#ifndef TARNWICK_FOUNDATION_IPCEXCEPTION_H_
#define TARNWICK_FOUNDATION_IPCEXCEPTION_H_

#include "foundation/Exception.h"

namespace Vantor {

// Shares its class number with TimeException: a code string alone does not tell them apart.
class IPCException : public Exception {
 public:
  enum Code : std::int32_t {
    IC_NONE = 0,
    IC_NO_MESSAGE_FILE = 1,
    IC_CANNOT_CREATE_COMM = 2,
    IC_NOT_SENDER = 3,
    IC_NOT_RECEIVER = 4,
    IC_CANNOT_SEND = 5,
    IC_CANNOT_RECEIVE = 6,
    IC_MEM = 7,
  };

  using Exception::Exception;

  std::string description() const override;
  std::int32_t classNumber() const override { return 4; }
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_IPCEXCEPTION_H_
