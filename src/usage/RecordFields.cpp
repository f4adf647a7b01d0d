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

std::string reportNameField(std::string_view text) {
  std::string field = recordField(text);
  if (field.size() <= kLongestReportName / 3) return field;
  std::string stored = TextUtils::validUtf8(field);
  if (stored.size() <= kLongestReportName) return field;
  std::size_t end = kLongestReportName - 3;
  // Not within a character: its continuation bytes are 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(stored[end]) & 0xC0) == 0x80) --end;
  return stored.substr(0, end) + "...";
}

ExecutableFields executableFields(const std::string& path) {
  // A path from the root of a Unix system: a backslash there is part of a name.
  std::size_t separator = path.starts_with('/') ? path.rfind('/') : path.find_last_of("/\\");
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
