// The machine's facts as the system tells them.
// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <lm.h>
// clang-format on

#include "platform/ErrorCodes.h"
#include "platform/SystemFacts.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"
#include "platform/win32/WindowsVersionName.h"

namespace Vantor::platform {

namespace {

bool readVersion(OSVERSIONINFOEXW* version) {
  *version = OSVERSIONINFOEXW{};
  version->dwOSVersionInfoSize = sizeof *version;
  // The version the system tells programs, as the records have always carried it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  return ::GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(version)) != 0;
#pragma GCC diagnostic pop
}

const char* architectureName(WORD architecture) {
  switch (architecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
      return "i386";
    case PROCESSOR_ARCHITECTURE_MIPS:
      return "mips";
    case PROCESSOR_ARCHITECTURE_ALPHA:
      return "alpha";
    case PROCESSOR_ARCHITECTURE_PPC:
      return "powerpc";
    case PROCESSOR_ARCHITECTURE_IA64:
      return "ia64";
    case PROCESSOR_ARCHITECTURE_AMD64:
      return "amd64";
    case PROCESSOR_ARCHITECTURE_IA32_ON_WIN64:
      return "ia32_on_win64";
    case 12:  // PROCESSOR_ARCHITECTURE_ARM64
      return "arm64";
    default:
      return "unknown";
  }
}

class Win32SystemFacts : public SystemFacts {
 public:
  std::string computerName() override {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    if (!::GetComputerNameW(name, &size)) return "unknown";
    return narrow(name, size);
  }

  std::string architecture() override {
    SYSTEM_INFO info;
    ::GetNativeSystemInfo(&info);
    return architectureName(info.wProcessorArchitecture);
  }

  std::string osName() override {
    OSVERSIONINFOEXW read;
    if (!readVersion(&read)) return "Windows";
    WindowsVersion version;
    version.major = read.dwMajorVersion;
    version.minor = read.dwMinorVersion;
    version.productType = read.wProductType;
    version.suiteMask = read.wSuiteMask;
    version.serverR2 = ::GetSystemMetrics(SM_SERVERR2) != 0;
    return "Windows " + windowsVersionName(version, architecture());
  }

  std::optional<std::string> workgroup() override {
    wchar_t* name = nullptr;
    NETSETUP_JOIN_STATUS status = NetSetupUnknownStatus;
    if (::NetGetJoinInformation(nullptr, &name, &status) != NERR_Success || name == nullptr) {
      return std::nullopt;
    }
    std::string group = narrow(name, wcslen(name));
    ::NetApiBufferFree(name);
    if (status != NetSetupWorkgroupName && status != NetSetupDomainName) return std::nullopt;
    return group;
  }

  int versionNumber() override {
    OSVERSIONINFOEXW version;
    if (!readVersion(&version)) return 0;
    return static_cast<int>(version.dwMajorVersion * 10 + version.dwMinorVersion);
  }

  bool is32BitOn64Bit() override {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
  }

  std::optional<std::string> windowsDirectory() override {
    wchar_t directory[MAX_PATH + 1];
    UINT length = ::GetWindowsDirectoryW(directory, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
      failWithSystemError();
      return std::nullopt;
    }
    return narrow(directory, length);
  }

  bool isKnownDrive(const std::string& driveName) override {
    // "C:" names the drive; a longer text is no drive name.
    if (driveName.size() != 2 || driveName[1] != ':') return false;
    UINT type = ::GetDriveTypeW(wide(driveName + "\\").c_str());
    return type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR;
  }

  std::optional<std::uint64_t> totalPhysicalMemory() override {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    if (!::GlobalMemoryStatusEx(&status)) {
      failWithSystemError();
      return std::nullopt;
    }
    return status.ullTotalPhys;
  }
};

class Win32Variables : public EnvironmentVariables {
 public:
  std::optional<std::string> get(const std::string& name) override {
    std::wstring key = wide(name);
    DWORD size = ::GetEnvironmentVariableW(key.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    size = ::GetEnvironmentVariableW(key.c_str(), value.data(), size);
    value.resize(size);
    return narrow(value);
  }
};

}  // namespace

SystemFacts& systemFacts() {
  static SystemFacts* const facts = new Win32SystemFacts;
  return *facts;
}

EnvironmentVariables& systemVariables() {
  static EnvironmentVariables* const variables = new Win32Variables;
  return *variables;
}

}  // namespace Vantor::platform
