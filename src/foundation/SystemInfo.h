// Values of the suite's registry key "SOFTWARE\Vantor\Resources", where the installation keeps
// its directories and settings. These never throw; callers act on the result codes.
#ifndef TARNWICK_FOUNDATION_SYSTEMINFO_H_
#define TARNWICK_FOUNDATION_SYSTEMINFO_H_

#include <cstdint>
#include <string>

#include "platform/Registry.h"

namespace Vantor::SystemInfo {

inline constexpr char kResourceKey[] = "SOFTWARE\\Vantor\\Resources";

enum ResourceResult : int {
  RESOURCE_OK = 0,
  RESOURCE_NO_MEMORY = 1,  // reading; for writing: the key cannot be created or set
  RESOURCE_NOT_FOUND = 2,  // the key or the value is missing
  RESOURCE_WRONG_TYPE = 3,
};

// A string value (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) without its trailing NULs. Every
// "${NAME}" that names another resource value that can be read is replaced by that value.
int getResourceString(platform::Registry& registry, const std::string& name, std::string& value);

int getResourceDword(platform::Registry& registry, const std::string& name, std::uint32_t& value);

// 0 on success, 1 on failure.
int setResourceString(platform::Registry& registry, const std::string& name,
                      const std::string& value);

}  // namespace Vantor::SystemInfo

#endif  // TARNWICK_FOUNDATION_SYSTEMINFO_H_
