// Errors of the configuration reader.
#ifndef TARNWICK_FOUNDATION_CONFIGEXCEPTION_H_
#define TARNWICK_FOUNDATION_CONFIGEXCEPTION_H_

#include "foundation/Exception.h"

namespace Vantor {

class ConfigException : public Exception {
 public:
  enum Code : std::int32_t {
    CF_MEM = 0,
    CF_CONF = 1,
  };

  using Exception::Exception;

  std::string description() const override;
  std::int32_t classNumber() const override { return 1; }
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_CONFIGEXCEPTION_H_
