// Any catalogue text parses, and every text it yields formats with any parameters.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "logging/LogCommons.h"
#include "logging/MessageCatalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::map<std::string, std::string> texts;
  Vantor::parseCatalogue(text, 8, &texts);
  for (const auto& [key, message] : texts) {
    Vantor::formatMessage(message, Vantor::parameterList("s", 1, key));
  }
  return 0;
}
