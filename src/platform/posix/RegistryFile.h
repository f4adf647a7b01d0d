// The registry export text format ("Windows Registry Editor Version 5.00"), which holds the
// registry on platforms that have none. Pure functions over text, so they can be fuzzed.
#ifndef TARNWICK_PLATFORM_POSIX_REGISTRYFILE_H_
#define TARNWICK_PLATFORM_POSIX_REGISTRYFILE_H_

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace Vantor::platform::RegistryFile {

inline constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";

// A line that could not be understood; its value (if any) reads as missing.
struct Damage {
  std::size_t line = 0;  // 1-based number of the line where the damage starts
  std::string reason;
};

// Values of one key by name, names folded to lower case (registry names ignore case).
using Values = std::map<std::string, RegistryValue>;

// Keys by full path ("HKEY_LOCAL_MACHINE\SOFTWARE\..."), folded to lower case. Damaged lines
// are skipped and listed in damage when it is given; any bytes are accepted.
std::map<std::string, Values> parse(std::string_view text, std::vector<Damage>* damage = nullptr);

// The value name of key in parsed keys, both compared without case; nullptr when missing.
const RegistryValue* find(const std::map<std::string, Values>& keys, std::string_view key,
                          std::string_view name);

// The text with the string value name of key set to value (the name must hold no line break
// or NUL: such a name cannot be written in this format): earlier definitions of the name in
// that key are removed, the new line goes at the end of the key's last section (a new section
// at the end when the key has none, a header first when the text is empty). Every other line,
// damaged or not, stays as it was.
std::string withString(std::string_view text, std::string_view key, std::string_view name,
                       std::string_view value);

// The text with each string value of defaults (a text of the same format) that it lacks
// added as withString adds it, in its key, with its name as defaults spells it; values the
// text has, and every other line, stay as they are.
std::string withMissingStrings(std::string_view text, std::string_view defaults);

}  // namespace Vantor::platform::RegistryFile

#endif  // TARNWICK_PLATFORM_POSIX_REGISTRYFILE_H_
