#include "platform/VersionInfo.h"

#include <cstdio>

namespace Vantor::platform {

namespace {
constexpr std::uint16_t kUsEnglish = 0x0409;
constexpr std::uint16_t kUnicode = 0x04b0;
}  // namespace

std::string VersionInfo::tableName(std::uint16_t language, std::uint16_t codePage) {
  char name[9];
  std::snprintf(name, sizeof name, "%04x%04x", language, codePage);
  return name;
}

std::optional<std::string> VersionInfo::query(std::uint16_t language, std::uint16_t codePage,
                                              const std::string& name) const {
  auto table = tables.find(tableName(language, codePage));
  if (table == tables.end()) return std::nullopt;
  auto value = table->second.find(name);
  if (value == table->second.end()) return std::nullopt;
  return value->second;
}

VersionInfo VersionInfo::ofStrings(std::map<std::string, std::string> strings) {
  VersionInfo info;
  info.translations.emplace_back(kUsEnglish, kUnicode);
  info.tables.emplace(tableName(kUsEnglish, kUnicode), std::move(strings));
  return info;
}

}  // namespace Vantor::platform
