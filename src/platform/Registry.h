// The system registry, reduced to what the agent needs: reading values of any type under
// HKEY_LOCAL_MACHINE and writing string values.
#ifndef TARNWICK_PLATFORM_REGISTRY_H_
#define TARNWICK_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <string>
#include <vector>

namespace Vantor::platform {

// Registry value types (winnt.h numbering).
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;
inline constexpr std::uint32_t kRegMultiSz = 7;

// A value's type and its bytes as the registry stores them: strings in the narrow character
// set with their terminating NUL (a multi-string: each string NUL-terminated, then one more
// NUL), a DWORD as four little-endian bytes.
struct RegistryValue {
  std::uint32_t type = kRegNone;
  std::string data;
};

// Safe for concurrent use by multiple threads and processes: a write never loses another
// writer's value, and a reader sees a file either before or after a write, never between.
class Registry {
 public:
  virtual ~Registry() = default;

  // Where the values live, for messages that tell an administrator what to mend.
  virtual std::string location() const = 0;
  // The file that holds the values; empty where the system keeps them.
  virtual std::string file() const = 0;

  // Reads value name of the key (a path below HKEY_LOCAL_MACHINE, '\'-separated). Returns
  // kErrorSuccess, or kErrorFileNotFound when the key or value is missing or unreadable.
  virtual std::uint32_t queryValue(const std::string& key, const std::string& name,
                                   RegistryValue* value) = 0;

  // Creates the key if needed and sets a string value (type kRegSz). Returns a Win32 code.
  virtual std::uint32_t setString(const std::string& key, const std::string& name,
                                  const std::string& value) = 0;

  // What in the values' file could not be read, one "line N: reason" each; empty where the
  // system keeps the values, or the file reads whole.
  virtual std::vector<std::string> damage() { return {}; }

  // Adds each string value of an export text (as the suite's packages ship) that the registry
  // lacks, in one write; values it has stay. Returns a Win32 code.
  virtual std::uint32_t addMissingStrings(const std::string& exportText) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_REGISTRY_H_
