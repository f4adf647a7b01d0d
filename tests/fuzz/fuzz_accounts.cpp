// Any account file text parses; every user it yields maps to a name without crashing.
#include <cstdint>
#include <string_view>

#include "usage/Accounts.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Vantor::Accounts::Table table;
  Vantor::Accounts::parseAccounts(std::string_view(reinterpret_cast<const char*>(data), size),
                                  &table);
  return 0;
}
