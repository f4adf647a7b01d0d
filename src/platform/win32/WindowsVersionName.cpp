#include "platform/win32/WindowsVersionName.h"

namespace Vantor::platform {

namespace {

std::string numbered(const WindowsVersion& version) {
  return std::to_string(version.major) + " " + std::to_string(version.minor);
}

std::string server2003Name(const WindowsVersion& version, const std::string& architecture) {
  if (version.serverR2) return "Server 2003 R2";
  if (version.suiteMask == kSuiteStorageServer) return "Storage Server 2003";
  if (version.productType == kProductWorkstation && architecture == "amd64") return "XP x64";
  return "Server 2003";
}

std::string architectureSuffix(const std::string& architecture) {
  if (architecture == "ia64") return " ia64";
  if (architecture == "amd64") return " x64";
  return "";
}

}  // namespace

std::string windowsVersionName(const WindowsVersion& version, const std::string& architecture) {
  switch (version.major) {
    case 3:
    case 4:
      // NT 3.51 reads "NT 3.51": the minor version follows a dot, as the product was named.
      return "NT " + std::to_string(version.major) + "." + std::to_string(version.minor);
    case 5: {
      if (version.minor == 0) return "2000";
      if (version.minor == 1) return "XP";
      if (version.minor != 2) return numbered(version);
      std::string name = server2003Name(version, architecture);
      if (version.productType != kProductWorkstation) name += architectureSuffix(architecture);
      return name;
    }
    case 6:
      return (version.productType == kProductWorkstation ? "Vista" : "Server 2008") +
             architectureSuffix(architecture);
    default:
      return numbered(version);
  }
}

}  // namespace Vantor::platform
