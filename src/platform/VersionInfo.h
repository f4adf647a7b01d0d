// Version information of an executable file as resource compilers lay it out: a list of
// (language, code page) translations and, per translation, named strings such as
// "ProductName", "FileDescription" and "FileVersion".
#ifndef TARNWICK_PLATFORM_VERSIONINFO_H_
#define TARNWICK_PLATFORM_VERSIONINFO_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Vantor::platform {

struct VersionInfo {
  std::vector<std::pair<std::uint16_t, std::uint16_t>> translations;  // language, code page
  // Keyed by the table name: language and code page as eight lower-case hex digits.
  std::map<std::string, std::map<std::string, std::string>> tables;

  static std::string tableName(std::uint16_t language, std::uint16_t codePage);
  // The string "\StringFileInfo\<table>\<name>"; nullopt when the file has none.
  std::optional<std::string> query(std::uint16_t language, std::uint16_t codePage,
                                   const std::string& name) const;
  // One translation (US English, Unicode) holding the given strings, for files whose
  // information comes from somewhere other than a version resource.
  static VersionInfo ofStrings(std::map<std::string, std::string> strings);
};

// Reads a version resource (the VS_VERSIONINFO block) as the resource compiler laid it out;
// any bytes are safe input. False when it holds no version information.
bool parseVersionResource(std::string_view resource, VersionInfo* info);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_VERSIONINFO_H_
