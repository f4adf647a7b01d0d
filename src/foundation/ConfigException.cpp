#include "foundation/ConfigException.h"

namespace Vantor {

namespace {
constexpr std::string_view kTexts[] = {
    "Out of memory.",       // CF_MEM
    "Error in conf file.",  // CF_CONF
};
}  // namespace

std::string ConfigException::description() const {
  return describe("Configuration", textOf(kTexts, getCode()));
}

}  // namespace Vantor
