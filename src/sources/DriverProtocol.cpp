#include "sources/DriverProtocol.h"

#include <algorithm>
#include <string_view>

#include "platform/LittleEndian.h"

namespace Vantor {

namespace {
constexpr std::uint64_t kFileTimeUnixEpoch = 116444736000000000;
constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;
constexpr std::uint32_t kExitStatusGiven = 1;
constexpr std::uint32_t kStartUnseen = 2;
constexpr std::uint32_t kStartStampGiven = 4;
constexpr std::uint32_t kStartNanosGiven = 8;
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

namespace {

void appendRecord(std::vector<std::uint8_t>& bytes, const DriverRecord& record) {
  appendLittleEndian(bytes, record.pid, 4);
  appendLittleEndian(bytes, record.parentPid, 4);
  appendLittleEndian(bytes, record.time, 8);
  appendLittleEndian(bytes, record.created, 4);
  appendLittleEndian(bytes, record.exitStatus, 4);
}

}  // namespace

std::vector<std::uint8_t> encodeDriverRecord(const DriverRecord& record) {
  std::vector<std::uint8_t> bytes;
  appendRecord(bytes, record);
  return bytes;
}

DriverRecord decodeDriverRecord(const std::uint8_t* bytes) {
  DriverRecord record;
  record.pid = static_cast<std::uint32_t>(getLittleEndian(bytes, 4));
  record.parentPid = static_cast<std::uint32_t>(getLittleEndian(bytes + 4, 4));
  record.time = getLittleEndian(bytes + 8, 8);
  record.created = static_cast<std::uint32_t>(getLittleEndian(bytes + 16, 4));
  record.exitStatus = static_cast<std::uint32_t>(getLittleEndian(bytes + 20, 4));
  return record;
}

std::optional<DriverRecord> decodeDriverRecord(const std::vector<std::uint8_t>& bytes) {
  if (bytes.size() != kDriverRecordSize) return std::nullopt;
  return decodeDriverRecord(bytes.data());
}

namespace {

// A part longer than its limit is left out, never cut: a cut path names another file.
std::string_view withinLimit(const std::string& part, std::size_t limit) {
  return part.size() <= limit ? std::string_view(part) : std::string_view();
}

std::size_t encodedSize(const DriverFacts& facts) {
  return 12 + (facts.startStamp != 0 ? 8 : 0) + (facts.startNanos != 0 ? 8 : 0) +
         withinLimit(facts.sid, kMaxSidText).size() + withinLimit(facts.image, kMaxImage).size();
}

void appendFacts(std::vector<std::uint8_t>& bytes, const DriverFacts& facts) {
  appendLittleEndian(bytes,
                     (facts.exitStatus ? kExitStatusGiven : 0) |
                         (facts.startUnseen ? kStartUnseen : 0) |
                         (facts.startStamp != 0 ? kStartStampGiven : 0) |
                         (facts.startNanos != 0 ? kStartNanosGiven : 0),
                     4);
  appendLittleEndian(bytes, static_cast<std::uint32_t>(facts.exitStatus.value_or(0)), 4);
  if (facts.startStamp != 0) appendLittleEndian(bytes, facts.startStamp, 8);
  if (facts.startNanos != 0) appendLittleEndian(bytes, facts.startNanos, 8);
  std::string_view sid = withinLimit(facts.sid, kMaxSidText);
  appendLittleEndian(bytes, sid.size(), 4);
  bytes.insert(bytes.end(), sid.begin(), sid.end());
  std::string_view image = withinLimit(facts.image, kMaxImage);
  bytes.insert(bytes.end(), image.begin(), image.end());
}

}  // namespace

std::vector<std::uint8_t> encodeDriverFacts(const DriverFacts& facts) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(encodedSize(facts));
  appendFacts(bytes, facts);
  return bytes;
}

std::optional<DriverFacts> decodeDriverFacts(const std::uint8_t* bytes, std::size_t size) {
  if (size < 8) return std::nullopt;
  DriverFacts facts;
  std::uint64_t flags = getLittleEndian(bytes, 4);
  if (flags & kExitStatusGiven) {
    facts.exitStatus = static_cast<std::int32_t>(getLittleEndian(bytes + 4, 4));
  }
  facts.startUnseen = (flags & kStartUnseen) != 0;
  std::size_t at = 8;
  for (auto [flag, field] : {std::pair{kStartStampGiven, &facts.startStamp},
                             std::pair{kStartNanosGiven, &facts.startNanos}}) {
    if ((flags & flag) == 0) continue;
    if (size < at + 8) return std::nullopt;
    *field = getLittleEndian(bytes + at, 8);
    at += 8;
  }
  if (size < at + 4) return std::nullopt;
  std::uint64_t sidLength = getLittleEndian(bytes + at, 4);
  at += 4;
  if (sidLength > kMaxSidText || sidLength > size - at) return std::nullopt;
  facts.sid.assign(bytes + at, bytes + at + sidLength);
  at += sidLength;
  if (size - at > kMaxImage) return std::nullopt;
  facts.image.assign(bytes + at, bytes + size);
  return facts;
}

bool appendDriverBatchEntry(std::vector<std::uint8_t>& batch, const DriverRecord& record,
                            const DriverFacts& facts, std::uint32_t capacity) {
  std::size_t factsSize = encodedSize(facts);
  std::size_t before = batch.empty() ? 4 : batch.size();
  if (before + kDriverRecordSize + 4 + factsSize > capacity) return false;
  if (batch.empty()) appendLittleEndian(batch, 0, 4);
  appendRecord(batch, record);
  appendLittleEndian(batch, factsSize, 4);
  appendFacts(batch, facts);
  platform::putLittleEndian(batch.data(), getLittleEndian(batch.data(), 4) + 1, 4);
  return true;
}

std::optional<std::vector<DriverBatchEntry>> decodeDriverBatch(
    const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return std::vector<DriverBatchEntry>{};
  if (bytes.size() < 4) return std::nullopt;
  std::uint64_t count = getLittleEndian(bytes.data(), 4);
  // Each entry takes at least its record and a length: a count beyond that is no batch.
  if (count > (bytes.size() - 4) / (kDriverRecordSize + 4)) return std::nullopt;
  std::vector<DriverBatchEntry> entries;
  entries.reserve(count);
  std::size_t at = 4;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (bytes.size() - at < kDriverRecordSize + 4) return std::nullopt;
    DriverBatchEntry entry;
    DriverRecord record = decodeDriverRecord(bytes.data() + at);
    at += kDriverRecordSize;
    std::uint64_t factsLength = getLittleEndian(bytes.data() + at, 4);
    at += 4;
    if (factsLength > bytes.size() - at) return std::nullopt;
    std::optional<DriverFacts> facts = decodeDriverFacts(bytes.data() + at, factsLength);
    at += factsLength;
    if (!facts) return std::nullopt;
    entries.push_back({record, std::move(*facts)});
  }
  if (at != bytes.size()) return std::nullopt;
  return entries;
}

}  // namespace Vantor
