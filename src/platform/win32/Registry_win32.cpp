// The registry itself, below HKEY_LOCAL_MACHINE. Text values are handed over in UTF-8 with
// their terminators, as the agent's other registries give them.
#include <cstring>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// Values larger than this are no configuration value.
constexpr DWORD kMaxValueBytes = 1 << 20;

bool isText(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

class Win32Registry : public Registry {
 public:
  std::string location() const override { return "the registry (HKEY_LOCAL_MACHINE)"; }
  std::string file() const override { return {}; }
  // The installer sets the values here.
  std::uint32_t addMissingStrings(const std::string&) override { return kErrorNotSupported; }

  std::uint32_t queryValue(const std::string& key, const std::string& name,
                           RegistryValue* value) override {
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS) {
      return kErrorFileNotFound;
    }
    std::wstring valueName = wide(name);
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = ::RegQueryValueExW(opened, valueName.c_str(), nullptr, &type, nullptr, &size);
    std::vector<BYTE> data;
    // A value may grow between the two calls: ask again with the size then given.
    for (int attempt = 0; status == ERROR_SUCCESS && attempt < 3; ++attempt) {
      if (size > kMaxValueBytes) {
        status = ERROR_FILE_NOT_FOUND;
        break;
      }
      data.resize(size);
      status = ::RegQueryValueExW(opened, valueName.c_str(), nullptr, &type, data.data(), &size);
      if (status != ERROR_MORE_DATA) break;
      status = ERROR_SUCCESS;
    }
    ::RegCloseKey(opened);
    if (status != ERROR_SUCCESS) return kErrorFileNotFound;
    data.resize(size);
    value->type = type;
    if (isText(type)) {
      std::size_t characters = data.size() / sizeof(wchar_t);
      std::wstring text(characters, L'\0');
      std::memcpy(text.data(), data.data(), characters * sizeof(wchar_t));
      // Stored without a terminator is read as if it had one.
      if (text.empty() || text.back() != L'\0') text.push_back(L'\0');
      if (type == REG_MULTI_SZ && (text.size() < 2 || text[text.size() - 2] != L'\0')) {
        text.push_back(L'\0');
      }
      value->data = narrow(text);
    } else {
      value->data.assign(reinterpret_cast<const char*>(data.data()), data.size());
    }
    return kErrorSuccess;
  }

  std::uint32_t setString(const std::string& key, const std::string& name,
                          const std::string& value) override {
    HKEY opened = nullptr;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(key).c_str(), 0, nullptr, 0,
                                       KEY_SET_VALUE, nullptr, &opened, nullptr);
    if (status != ERROR_SUCCESS) return static_cast<std::uint32_t>(status);
    std::wstring text = wide(value);
    status = ::RegSetValueExW(opened, wide(name).c_str(), 0, REG_SZ,
                              reinterpret_cast<const BYTE*>(text.c_str()),
                              static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    ::RegCloseKey(opened);
    return static_cast<std::uint32_t>(status);
  }
};

}  // namespace

Registry& systemRegistry() {
  static Registry* const registry = new Win32Registry;
  return *registry;
}

}  // namespace Vantor::platform
