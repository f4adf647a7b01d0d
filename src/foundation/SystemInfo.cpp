#include "foundation/SystemInfo.h"

#include <new>

#include "platform/ErrorCodes.h"
#include "platform/Registry.h"

namespace Vantor::SystemInfo {

namespace {

// References may nest (a value naming a value that names another), but a value that names
// itself, directly or in a ring, must not recurse without end: beyond this depth a reference
// is left as it stands.
constexpr int kMaxReferenceDepth = 8;

int readString(platform::Registry& registry, const std::string& name, std::string& value,
               int depth);

void expandReferences(platform::Registry& registry, std::string& text, int depth) {
  std::string::size_type pos = 0;
  while ((pos = text.find("${", pos)) != std::string::npos && pos + 4 <= text.size()) {
    std::string::size_type close = text.find('}', pos + 2);
    if (close == std::string::npos) return;
    std::string replacement;
    if (depth < kMaxReferenceDepth && readString(registry, text.substr(pos + 2, close - pos - 2),
                                                 replacement, depth + 1) == RESOURCE_OK) {
      text.replace(pos, close - pos + 1, replacement);
      // Continue after the inserted text: it is expanded already, and what followed the
      // reference must still be scanned however long the value was.
      pos += replacement.size();
    } else {
      pos = close + 1;
    }
  }
}

int readString(platform::Registry& registry, const std::string& name, std::string& value,
               int depth) {
  try {
    platform::RegistryValue stored;
    if (registry.queryValue(kResourceKey, name, &stored) != platform::kErrorSuccess) {
      return RESOURCE_NOT_FOUND;
    }
    if (stored.type != platform::kRegSz && stored.type != platform::kRegExpandSz &&
        stored.type != platform::kRegMultiSz) {
      return RESOURCE_WRONG_TYPE;
    }
    while (!stored.data.empty() && stored.data.back() == '\0') stored.data.pop_back();
    expandReferences(registry, stored.data, depth);
    value = std::move(stored.data);
    return RESOURCE_OK;
  } catch (const std::bad_alloc&) {
    return RESOURCE_NO_MEMORY;
  }
}

}  // namespace

int getResourceString(platform::Registry& registry, const std::string& name, std::string& value) {
  return readString(registry, name, value, 0);
}

int getResourceDword(platform::Registry& registry, const std::string& name, std::uint32_t& value) {
  platform::RegistryValue stored;
  if (registry.queryValue(kResourceKey, name, &stored) != platform::kErrorSuccess) {
    return RESOURCE_NOT_FOUND;
  }
  if (stored.type != platform::kRegDword || stored.data.size() != 4) return RESOURCE_WRONG_TYPE;
  value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(stored.data[i]);
  return RESOURCE_OK;
}

int setResourceString(platform::Registry& registry, const std::string& name,
                      const std::string& value) {
  return registry.setString(kResourceKey, name, value) == platform::kErrorSuccess
             ? RESOURCE_OK
             : RESOURCE_NO_MEMORY;
}

}  // namespace Vantor::SystemInfo
