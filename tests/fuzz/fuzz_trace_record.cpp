// Any bytes as a kernel event: a connector datagram for the tracker, and event data for the
// decoder under each layout and pointer width. Nothing is read out of bounds; nothing hangs.
#include <cstdint>
#include <string_view>

#include "logging/LoggerUnit.h"
#include "platform/posix/ProcConnector.h"
#include "platform/posix/ProcText.h"
#include "sources/EventDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vantor;
  static platform::ProcEventTracker tracker;
  platform::ProcEvent event;
  if (platform::parseProcEvent(data, size, &event)) tracker.handle(event);
  std::string_view status(reinterpret_cast<const char*>(data), size);
  std::string_view name;
  platform::parseStatusText(status, "Name:", &name);
  if (size < 2) return 0;
  static LoggerUnit logger(nullptr, kModuleTarnwick);
  static EventDecoder narrow(platform::EventClasses::Default(), logger, false);
  static EventDecoder wide(platform::EventClasses::Default(), logger, true);
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
