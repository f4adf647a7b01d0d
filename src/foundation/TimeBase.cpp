#include "foundation/TimeBase.h"

#include <limits>

#include "foundation/TimeException.h"

namespace Vantor {

void TimeBase::setValue(std::int64_t value) {
  if (value < 0 || value > std::numeric_limits<std::int32_t>::max()) {
    throw TimeException(TimeException::TM_DATETIME, "", __FILE__, __LINE__);
  }
  value_ = static_cast<std::int32_t>(value);
}

}  // namespace Vantor
