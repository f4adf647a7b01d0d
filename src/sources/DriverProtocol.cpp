#include "sources/DriverProtocol.h"

#include <algorithm>

#include "platform/LittleEndian.h"

namespace Vantor {

namespace {
constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;
constexpr std::uint32_t kExitStatusGiven = 1;
constexpr std::uint32_t kStartUnseen = 2;
}  // namespace

using platform::appendLittleEndian;
using platform::getLittleEndian;

std::int64_t DriverRecord::unixSeconds() const {
  if (time < kFileTimeUnixEpoch) return 0;
  return static_cast<std::int64_t>((time - kFileTimeUnixEpoch) / kFileTimeTicksPerSecond);
}

std::uint64_t driverTimeOfUnixNanos(std::int64_t unixNanos) {
  if (unixNanos < 0) return kFileTimeUnixEpoch;
  return kFileTimeUnixEpoch + static_cast<std::uint64_t>(unixNanos) / 100;
}

std::vector<std::uint8_t> encodeDriverRecord(const DriverRecord& record) {
  std::vector<std::uint8_t> bytes;
  appendLittleEndian(bytes, record.pid, 4);
  appendLittleEndian(bytes, record.parentPid, 4);
  appendLittleEndian(bytes, record.time, 8);
  appendLittleEndian(bytes, record.created, 4);
  appendLittleEndian(bytes, record.exitStatus, 4);
  return bytes;
}

std::optional<DriverRecord> decodeDriverRecord(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != kDriverRecordSize) return std::nullopt;
  DriverRecord record;
  record.pid = static_cast<std::uint32_t>(getLittleEndian(bytes.data(), 4));
  record.parentPid = static_cast<std::uint32_t>(getLittleEndian(bytes.data() + 4, 4));
  record.time = getLittleEndian(bytes.data() + 8, 8);
  record.created = static_cast<std::uint32_t>(getLittleEndian(bytes.data() + 16, 4));
  record.exitStatus = static_cast<std::uint32_t>(getLittleEndian(bytes.data() + 20, 4));
  return record;
}

std::vector<std::uint8_t> encodeDriverFacts(const DriverFacts& facts) {
  std::vector<std::uint8_t> bytes;
  appendLittleEndian(bytes,
                     (facts.exitStatus ? kExitStatusGiven : 0) | (facts.startUnseen ? kStartUnseen : 0),
                     4);
  appendLittleEndian(bytes, static_cast<std::uint32_t>(facts.exitStatus.value_or(0)), 4);
  std::string sid = facts.sid.substr(0, kMaxSidText);
  appendLittleEndian(bytes, sid.size(), 4);
  bytes.insert(bytes.end(), sid.begin(), sid.end());
  bytes.insert(
      bytes.end(), facts.image.begin(),
      facts.image.begin() + static_cast<std::ptrdiff_t>(std::min(facts.image.size(), kMaxImage)));
  return bytes;
}

std::optional<DriverFacts> decodeDriverFacts(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() < 12) return std::nullopt;
  DriverFacts facts;
  std::uint64_t flags = getLittleEndian(bytes.data(), 4);
  if (flags & kExitStatusGiven) {
    facts.exitStatus = static_cast<std::int32_t>(getLittleEndian(bytes.data() + 4, 4));
  }
  facts.startUnseen = (flags & kStartUnseen) != 0;
  std::uint64_t sidLength = getLittleEndian(bytes.data() + 8, 4);
  if (sidLength > kMaxSidText || sidLength > bytes.size() - 12) return std::nullopt;
  auto sidEnd = bytes.begin() + 12 + static_cast<std::ptrdiff_t>(sidLength);
  facts.sid.assign(bytes.begin() + 12, sidEnd);
  if (static_cast<std::size_t>(bytes.end() - sidEnd) > kMaxImage) return std::nullopt;
  facts.image.assign(sidEnd, bytes.end());
  return facts;
}

}  // namespace Vantor
