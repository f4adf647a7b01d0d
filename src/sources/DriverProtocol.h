// What passes between the agent and the suite's process-event driver: the device, its control
// codes and named events, the event record, and the facts the suite's own driver adds on
// request (the executable and user it read as the program started, and an exit status).
#ifndef TARNWICK_SOURCES_DRIVERPROTOCOL_H_
#define TARNWICK_SOURCES_DRIVERPROTOCOL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Vantor {

inline constexpr char kDriverDeviceName[] = "VantorLicDrv";
inline constexpr char kDriverProcessEventName[] = "LicDrvProcessEvent";
inline constexpr char kDriverQuitEventName[] = "VantorTarnwickQuitEvent";
inline constexpr std::uint32_t kDriverVersion = 100;
inline constexpr std::uint32_t kDriverVersionRequest = 0xDDD50000;
inline constexpr std::uint32_t kDriverEventRequest = 0xDDD50004;
// Function 2: not every driver has it, and one without answers "invalid function".
inline constexpr std::uint32_t kDriverFactsRequest = 0xDDD50008;
// Function 3, the suite's own driver: many records with their facts in one answer.
inline constexpr std::uint32_t kDriverBatchRequest = 0xDDD5000C;
inline constexpr std::uint32_t kDriverRecordSize = 24;

// The low byte of a record's created word.
enum class DriverRecordKind : std::uint8_t {
  kEnded = 0,
  kCreated = 1,
  // The suite's own driver: it dropped records (its queue was full, or the kernel lost
  // events); the exit-status word counts them.
  kRecordsLost = 2,
};

struct DriverRecord {
  std::uint32_t pid = 0;
  std::uint32_t parentPid = 0;  // the suite's driver fills it; others may not
  std::uint64_t time = 0;       // 100 ns since 1601, UTC
  std::uint32_t created = 0;
  std::uint32_t exitStatus = 0;  // the suite's driver fills it for an end; others may not

  DriverRecordKind kind() const { return static_cast<DriverRecordKind>(created & 0xff); }
  // The record's time in seconds since 1970; 0 for a time before.
  std::int64_t unixSeconds() const;
};

std::vector<std::uint8_t> encodeDriverRecord(const DriverRecord& record);
// Null unless bytes is exactly one record.
std::optional<DriverRecord> decodeDriverRecord(const std::vector<std::uint8_t>& bytes);
// The record in the kDriverRecordSize bytes at bytes.
DriverRecord decodeDriverRecord(const std::uint8_t* bytes);
// The record time of a moment given in nanoseconds since 1970.
std::uint64_t driverTimeOfUnixNanos(std::int64_t unixNanos);

struct DriverFacts {
  std::optional<std::int32_t> exitStatus;
  // An end of a process that never ran a program of its own while the driver watched: no
  // record of its start was given, nor will be.
  bool startUnseen = false;
  // The user's security identifier as text, and the executable's path; empty when not known
  // (or longer than their limits below, as they are then left out, never cut).
  std::string sid;
  std::string image;
  // The process's start stamp (as ProcessId::startStamp), and its start to the nanosecond on
  // the boot clock, which bind the record to that process and never to a later one of its pid
  // (even one started within the same tick of the stamp); 0 when not known.
  std::uint64_t startStamp = 0;
  std::uint64_t startNanos = 0;
};

inline constexpr std::size_t kMaxSidText = 256;
inline constexpr std::size_t kMaxImage = 4096;
// The words, the two start fields, the identifier and the path at their limits.
inline constexpr std::uint32_t kMaxDriverFacts = 12 + 16 + kMaxSidText + kMaxImage;

// Facts request: the record as input. Answer: u32 flags (1: the exit status is given; 2: the
// end of a process whose start was never told; 4: the start stamp is given; 8: the start in
// nanoseconds is given), u32 exit status, with flag 4 the u64 start stamp, with flag 8 the u64
// start in nanoseconds, u32 length of the identifier, the identifier, and the path in what
// remains.
std::vector<std::uint8_t> encodeDriverFacts(const DriverFacts& facts);
// Null for an answer not in that form, or with parts longer than their limits.
std::optional<DriverFacts> decodeDriverFacts(const std::uint8_t* bytes, std::size_t size);
inline std::optional<DriverFacts> decodeDriverFacts(const std::vector<std::uint8_t>& bytes) {
  return decodeDriverFacts(bytes.data(), bytes.size());
}

struct DriverBatchEntry {
  DriverRecord record;
  DriverFacts facts;
};

// What a batch answer of the given capacity always has room for: one entry of the largest.
inline constexpr std::uint32_t kLeastDriverBatch = 4 + kDriverRecordSize + 4 + kMaxDriverFacts;
// Batch request: no input. Answer: u32 count, then each entry: the record, u32 length of its
// facts, and the facts as a facts request answers them. Appends one entry to a batch, or
// leaves it as it was and says no when the entry would pass capacity bytes.
bool appendDriverBatchEntry(std::vector<std::uint8_t>& batch, const DriverRecord& record,
                            const DriverFacts& facts, std::uint32_t capacity);
// Null for an answer not in that form, or with more entries than it has bytes for.
std::optional<std::vector<DriverBatchEntry>> decodeDriverBatch(
    const std::vector<std::uint8_t>& bytes);

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_DRIVERPROTOCOL_H_
