// Any format and any parameter list: substitution ends and never reads out of bounds. The
// input is split at its first NUL byte into the format and the parameter list.
#include <cstdint>
#include <string_view>

#include "logging/LogCommons.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::size_t split = input.find('\0');
  std::string_view format = input.substr(0, split);
  std::string_view parameters =
      split == std::string_view::npos ? std::string_view() : input.substr(split + 1);
  Vantor::formatMessage(format, parameters);
  return 0;
}
