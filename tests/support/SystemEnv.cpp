#include "support/SystemEnv.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/ErrorCodes.h"
#include "platform/posix/RegistryFile.h"
#endif

namespace Vantor::testing {

#ifdef _WIN32
namespace {

// Tests of the portable code each keep their registry in a file of their own, named by
// VANTOR_REGISTRY, as on Linux: the machine's one registry would carry one test's values into
// the next. The Windows layer's registry is tested on its own, against the system's.
class FileRegistry : public platform::Registry {
 public:
  std::string location() const override { return "the registry file " + path(); }
  std::string file() const override { return path(); }
  std::uint32_t addMissingStrings(const std::string& exportText) override {
    return write(platform::RegistryFile::withMissingStrings(read(), exportText));
  }

  std::uint32_t queryValue(const std::string& key, const std::string& name,
                           platform::RegistryValue* value) override {
    auto keys = platform::RegistryFile::parse(read());
    const platform::RegistryValue* found = platform::RegistryFile::find(keys, kRoot + key, name);
    if (found == nullptr) return platform::kErrorFileNotFound;
    *value = *found;
    return platform::kErrorSuccess;
  }

  std::uint32_t setString(const std::string& key, const std::string& name,
                          const std::string& value) override {
    return write(platform::RegistryFile::withString(read(), kRoot + key, name, value));
  }

 private:
  static constexpr char kRoot[] = "HKEY_LOCAL_MACHINE\\";

  static std::string path() {
    const char* path = std::getenv("VANTOR_REGISTRY");
    return path != nullptr ? path : "";
  }

  static std::uint32_t write(const std::string& text) {
    std::ofstream file(path(), std::ios::binary | std::ios::trunc);
    file << text;
    return file.good() ? platform::kErrorSuccess : platform::kErrorWriteFault;
  }

  static std::string read() {
    std::ifstream file(path(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
  }
};

class TestEnv : public platform::EnvWrapper {
 public:
  explicit TestEnv(platform::Env& target) : EnvWrapper(target) {}

  platform::Registry& registry() override {
    const char* file = std::getenv("VANTOR_REGISTRY");
    return file != nullptr && *file != '\0' ? files_ : target().registry();
  }

 private:
  FileRegistry files_;
};

}  // namespace

platform::Env& systemEnv() {
  static platform::Env* env = new TestEnv(*platform::newSystemEnv().release());
  return *env;
}

bool runsUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}
#else
bool runsUnderWine() { return false; }

platform::Env& systemEnv() {
  static platform::Env* env = platform::newSystemEnv().release();
  return *env;
}
#endif

}  // namespace Vantor::testing
