// Any filter file text parses into a filter that answers for any computer and module name, and
// a filter with no pattern records every module.
#include <cstdint>
#include <string_view>

#include "usage/ModuleFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vantor::ModuleFilter filter;
  filter.parse(text);
  std::size_t split = text.find('\n');
  std::string_view computer = split == std::string_view::npos ? text : text.substr(0, split);
  for (std::string_view module : {std::string_view("libc.so.6"), std::string_view(""), text}) {
    bool recorded = filter.matchModuleFilter(computer, module);
    if (filter.empty() && !recorded) __builtin_trap();
  }
  return 0;
}
