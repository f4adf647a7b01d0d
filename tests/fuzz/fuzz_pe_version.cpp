// Any bytes as a PE file: the version resource reader never reads out of bounds or hangs.
#include <cstdint>
#include <string_view>

#include "platform/posix/PeVersionResource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Vantor::platform::MemorySource file(std::string_view(reinterpret_cast<const char*>(data), size));
  Vantor::platform::VersionInfo info;
  if (Vantor::platform::readPeVersionResource(file, 0x0409, &info)) {
    for (auto [language, codePage] : info.translations) {
      info.query(language, codePage, "ProductName");
    }
  }
  return 0;
}
