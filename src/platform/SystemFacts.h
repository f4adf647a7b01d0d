// Static facts about the machine that every data record carries.
#ifndef TARNWICK_PLATFORM_SYSTEMFACTS_H_
#define TARNWICK_PLATFORM_SYSTEMFACTS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace Vantor::platform {

// Safe for concurrent use by multiple threads; every call asks the system afresh.
class SystemFacts {
 public:
  virtual ~SystemFacts() = default;

  // The machine's name, without any domain part.
  virtual std::string computerName() = 0;

  // The processor architecture of the system (not of this process): one of "i386", "mips",
  // "alpha", "powerpc", "ia64", "amd64", "arm64", "ia32_on_win64", "unknown", "error".
  virtual std::string architecture() = 0;

  // The operating system's display name, e.g. "Debian GNU/Linux 12 (bookworm)".
  virtual std::string osName() = 0;

  // The workgroup or domain the machine belongs to; nullopt when none can be read.
  virtual std::optional<std::string> workgroup() = 0;

  // The Windows-style version number, major * 10 + minor; 0 when it cannot be read.
  // Platforms without one report a modern version so that version-gated code takes its
  // modern path.
  virtual int versionNumber() = 0;

  // Whether this process is a 32-bit process on a 64-bit system.
  virtual bool is32BitOn64Bit() = 0;

  // The Windows directory; nullopt where there is none.
  virtual std::optional<std::string> windowsDirectory() = 0;

  // Whether a drive name such as "C:" names a drive the system knows.
  virtual bool isKnownDrive(const std::string& driveName) = 0;

  // The machine's physical memory in bytes; nullopt when unknown.
  virtual std::optional<std::uint64_t> totalPhysicalMemory() = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_SYSTEMFACTS_H_
