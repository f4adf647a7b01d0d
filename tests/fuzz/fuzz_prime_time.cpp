// Any prime-time file text parses into rules that classify any moment.
#include <cstdint>
#include <string_view>

#include "usage/PrimeTime.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Vantor::PrimeTime calendar;
  calendar.setRules(
      Vantor::PrimeTime::parseRules(std::string_view(reinterpret_cast<const char*>(data), size)));
  for (std::int64_t moment : {0LL, 1216641600LL, 2147483647LL}) {
    int answer = calendar.classify(Vantor::DateTime(moment));
    if (answer < 0 || answer > 2) __builtin_trap();
  }
  return 0;
}
