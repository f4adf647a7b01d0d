// Any text either fails with TimeException or gives a span whose text reads back the same.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "foundation/TimeException.h"
#include "foundation/TimeSpan.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    Vantor::TimeSpan span(text);
    if (Vantor::TimeSpan(span.toString()) != span) std::abort();
  } catch (const Vantor::TimeException&) {
  }
  return 0;
}
