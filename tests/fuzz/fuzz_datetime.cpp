// Any text either fails with TimeException or gives a value whose UTC text reads back as the
// same instant.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/DateTime.h"
#include "foundation/TimeException.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    Vantor::DateTime value(text);
    Vantor::DateTime again(value.toString(true, true, false));
    if (again.getValue() != value.getValue()) std::abort();
    value.toString(false, false, true);
    value.alignDown(Vantor::TimeSpan(86400));
  } catch (const Vantor::TimeException&) {
  }
  Vantor::DateTime::setLastExplicitZone(Vantor::DateTime::kNoZone);
  return 0;
}
