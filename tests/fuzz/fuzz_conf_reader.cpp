// Any bytes build a tree (or a logged syntax error) without crashing, and every query of it
// ends with a status code.
#include <cstdint>
#include <string>
#include <string_view>

#include "config/ConfReader.h"
#include "logging/LogCommons.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Vantor::ConfReader* reader = [] {
    Vantor::setDebugLevel(0);
    return new Vantor::ConfReader(nullptr);
  }();
  std::string_view text(reinterpret_cast<const char*>(data), size);
  reader->buildFromText(text);
  std::string out;
  for (const char* key : {"a", "a.b", "log.rotation.size", "x", "Root"}) {
    reader->getString(key, out);
    std::int32_t number;
    reader->getInteger(key, number);
    reader->getDirName(key, out);
    Vantor::TimeSpanFields span;
    reader->getTimeSpan(key, span);
  }
  return 0;
}
