// Any mapping file text parses; every name it yields cleans without crashing.
#include <cstdint>
#include <string_view>

#include "usage/ExeFinder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vantor::ExeFinder::Mappings mappings;
  Vantor::ExeFinder::parseMappings(text, &mappings);
  for (const auto& [pattern, mapping] : mappings) Vantor::ExeFinder::cleanName(mapping.name);
  Vantor::ExeFinder::cleanName(std::string(text));
  return 0;
}
