#include "usage/RecordFields.h"

#include "foundation/TextUtils.h"

namespace Vantor {

std::string recordField(std::string_view text) {
  std::string field = TextUtils::withoutControls(text, '_');
  for (char& c : field) {
    if (c == ':') c = '_';
  }
  return field;
}

ExecutableFields executableFields(const std::string& path) {
  std::size_t separator = path.find_last_of("/\\");
  if (separator == std::string::npos) return {recordField(path), ""};
  return {recordField(path.substr(separator + 1)), recordField(path.substr(0, separator + 1))};
}

InventoryOps::StaticInfo recordFacts(InventoryOps::StaticInfo facts) {
  for (std::string* fact :
       {&facts.domain, &facts.computerName, &facts.architecture, &facts.osName}) {
    *fact = TextUtils::withoutControls(*fact, '_');
  }
  return facts;
}

}  // namespace Vantor
