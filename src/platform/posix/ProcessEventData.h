// The data of a kernel process event in the system's layout: what the trace session writes
// for each start and end, in the version and pointer width the event classes describe.
#ifndef TARNWICK_PLATFORM_POSIX_PROCESSEVENTDATA_H_
#define TARNWICK_PLATFORM_POSIX_PROCESSEVENTDATA_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Vantor::platform {

struct ProcessEventFields {
  std::uint32_t pid = 0;
  std::uint32_t parentPid = 0;
  std::int32_t exitStatus = 0;
  std::optional<std::uint32_t> uid;  // none: the event names no user
  std::string image;                 // bytes of the path or the command name
};

struct ProcessEventLayout {
  std::uint16_t version = 2;  // 1 or 2
  bool wide = true;           // 64-bit pointers
};

// The binary security identifier of a Unix user, S-1-22-1-uid.
std::vector<std::uint8_t> unixUserSid(std::uint32_t uid);
std::vector<std::uint8_t> processEventData(const ProcessEventFields& fields,
                                           const ProcessEventLayout& layout);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_PROCESSEVENTDATA_H_
