// Any bytes as a kernel event: a connector datagram for the tracker, event data for the
// decoder under each layout and pointer width, a record of the driver's eBPF program, and a
// driver's record, facts and batch. Nothing is read out of bounds; nothing hangs; facts that
// decode encode to the same.
#include <cstdint>
#include <string_view>
#include <vector>

#include "logging/LoggerUnit.h"
#include "platform/Env.h"
#include "platform/posix/ProcConnector.h"
#include "platform/posix/ProcText.h"
#include "procdrv/BpfRecord.h"
#include "sources/DriverProtocol.h"
#include "sources/EventDecoder.h"
#include "support/SystemEnv.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vantor;
  static platform::ProcEventTracker tracker;
  platform::ProcEvent event;
  if (platform::parseProcEvent(data, size, &event)) tracker.handle(event);
  std::string_view status(reinterpret_cast<const char*>(data), size);
  std::string_view name;
  platform::parseStatusText(status, "Name:", &name);
  std::vector<std::uint8_t> bytes(data, data + size);
  if (std::optional<DriverRecord> record = decodeDriverRecord(bytes)) {
    if (encodeDriverRecord(*record) != bytes) __builtin_trap();
  }
  if (std::optional<DriverFacts> facts = decodeDriverFacts(bytes)) {
    std::optional<DriverFacts> again = decodeDriverFacts(encodeDriverFacts(*facts));
    if (!again || again->sid != facts->sid || again->image != facts->image ||
        again->exitStatus != facts->exitStatus || again->startStamp != facts->startStamp ||
        again->startNanos != facts->startNanos) {
      __builtin_trap();
    }
  }
  if (std::optional<std::vector<DriverBatchEntry>> batch = decodeDriverBatch(bytes)) {
    std::vector<std::uint8_t> again;
    for (const DriverBatchEntry& entry : *batch) {
      if (!appendDriverBatchEntry(again, entry.record, entry.facts, UINT32_MAX)) __builtin_trap();
    }
    std::optional<std::vector<DriverBatchEntry>> redecoded = decodeDriverBatch(again);
    if (!redecoded || redecoded->size() != batch->size()) __builtin_trap();
  }
  if (std::optional<platform::StreamedEvent> event =
          procdrv::decodeBpfRecord(data, size, procdrv::BpfClocks{})) {
    if (!event->fields.image.empty() && event->fields.image[0] != '/') __builtin_trap();
  }
  if (size < 2) return 0;
  static LoggerUnit logger(nullptr, kModuleTarnwick);
  static auto* classes = new platform::EventClassSet(platform::documentedProcessEventClasses());
  static EventDecoder narrow(testing::systemEnv(), *classes, logger, false);
  static EventDecoder wide(testing::systemEnv(), *classes, logger, true);
  platform::EventTrace record;
  record.type = data[0] & 3;
  record.version = data[1] & 3;
  record.guid = platform::kProcessEventGuid;
  record.timeStamp = static_cast<std::int64_t>(size) << 40;
  record.mofData = data + 2;
  record.mofLength = static_cast<std::uint32_t>(size - 2);
  (data[0] & 4 ? wide : narrow).decode(record);
  return 0;
}
