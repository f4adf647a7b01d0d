#include "platform/posix/ProcessEventData.h"

#include "platform/LittleEndian.h"

namespace Vantor::platform {

namespace {

constexpr std::uint8_t kUnixUserAuthority = 22;
constexpr std::uint32_t kUnixUserKind = 1;
// Any non-zero value: it says that a SID follows.
constexpr std::uint64_t kSidPresent = 1;

}  // namespace

std::vector<std::uint8_t> unixUserSid(std::uint32_t uid) {
  std::vector<std::uint8_t> sid = {1, 2, 0, 0, 0, 0, 0, kUnixUserAuthority};
  appendLittleEndian(sid, kUnixUserKind, 4);
  appendLittleEndian(sid, uid, 4);
  return sid;
}

std::vector<std::uint8_t> processEventData(const ProcessEventFields& fields,
                                           const ProcessEventLayout& layout) {
  std::size_t pointerBytes = layout.wide ? 8 : 4;
  std::vector<std::uint8_t> data;
  data.reserve(64 + fields.image.size());
  appendLittleEndian(data, 0,
                     pointerBytes);  // the kernel's own key or page directory: not ours to give
  appendLittleEndian(data, fields.pid, 4);
  appendLittleEndian(data, fields.parentPid, 4);
  appendLittleEndian(data, 0, 4);  // session
  appendLittleEndian(data, static_cast<std::uint32_t>(fields.exitStatus), 4);
  if (layout.version >= 2) appendLittleEndian(data, 0, pointerBytes);
  if (fields.uid) {
    // A TOKEN_USER: the SID's address and its attributes, padded to the pointer width.
    appendLittleEndian(data, kSidPresent, pointerBytes);
    appendLittleEndian(data, 0, pointerBytes == 8 ? 8 : 4);
    std::vector<std::uint8_t> sid = unixUserSid(*fields.uid);
    data.insert(data.end(), sid.begin(), sid.end());
  } else {
    appendLittleEndian(data, 0, 4);
  }
  data.insert(data.end(), fields.image.begin(), fields.image.end());
  data.push_back(0);
  if (layout.version >= 2) appendLittleEndian(data, 0, 2);  // an empty command line, UTF-16
  return data;
}

}  // namespace Vantor::platform
