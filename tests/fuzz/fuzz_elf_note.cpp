// Any bytes as an ELF file, and the package note's text as JSON: no crash, no hang.
#include <cstdint>
#include <map>
#include <string_view>

#include "platform/posix/ElfPackageNote.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Vantor::platform::MemorySource file(bytes);
  std::string json;
  std::map<std::string, std::string> members;
  if (Vantor::platform::readElfPackageNote(file, &json)) {
    Vantor::platform::parseJsonStrings(json, &members);
  }
  Vantor::platform::parseJsonStrings(bytes, &members);
  return 0;
}
