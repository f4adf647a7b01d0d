// The product name of a Windows version, as the inventory reports it ("XP x64",
// "Server 2003 x64", "Vista ia64", ...). Portable so that it can be tested anywhere; the Win32
// system facts feed it from GetVersionEx.
#ifndef TARNWICK_PLATFORM_WIN32_WINDOWSVERSIONNAME_H_
#define TARNWICK_PLATFORM_WIN32_WINDOWSVERSIONNAME_H_

#include <cstdint>
#include <string>

namespace Vantor::platform {

inline constexpr std::uint8_t kProductWorkstation = 1;
inline constexpr std::uint16_t kSuiteStorageServer = 0x2000;

struct WindowsVersion {
  unsigned major = 0;
  unsigned minor = 0;
  std::uint8_t productType = kProductWorkstation;  // 1 workstation, 2 domain controller, 3 server
  std::uint16_t suiteMask = 0;
  bool serverR2 = false;  // GetSystemMetrics(SM_SERVERR2) != 0
};

// The name after "Windows ", given the architecture name of the system facts.
std::string windowsVersionName(const WindowsVersion& version, const std::string& architecture);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_WIN32_WINDOWSVERSIONNAME_H_
