// Any bytes as /proc text: stat, status and maps readers never read out of bounds or hang.
#include <cstdint>
#include <string_view>

#include "platform/posix/ProcText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vantor::platform::ProcStat stat;
  Vantor::platform::parseProcStat(text, &stat);
  std::uint32_t uid = 0;
  Vantor::platform::parseStatusUid(text, &uid);
  Vantor::platform::parseExecutableMappings(text);
  Vantor::platform::withoutDeletedSuffix(std::string(text));
  return 0;
}
