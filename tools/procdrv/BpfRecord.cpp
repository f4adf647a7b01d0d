#include "procdrv/BpfRecord.h"

#include <cstring>
#include <string>

#include "bpf/process_events.h"

namespace Vantor::procdrv {

namespace {

// The path of parts given innermost first, each ended by a zero byte; empty when they do not
// make one.
std::string pathOfParts(const char* parts, std::size_t size) {
  if (size == 0 || parts[size - 1] != '\0') return {};
  std::string path;
  path.reserve(size);
  // From the last part back: each starts after the zero byte before it.
  std::size_t end = size - 1;
  while (true) {
    std::size_t begin = end;
    while (begin > 0 && parts[begin - 1] != '\0') --begin;
    if (begin == end || std::memchr(parts + begin, '/', end - begin) != nullptr) return {};
    path += '/';
    path.append(parts + begin, end - begin);
    if (begin == 0) return path;
    end = begin - 1;
  }
}

}  // namespace

std::optional<platform::StreamedEvent> decodeBpfRecord(const std::uint8_t* data, std::size_t size,
                                                       const BpfClocks& clocks) {
  process_event_head head;
  if (size < sizeof head) return std::nullopt;
  std::memcpy(&head, data, sizeof head);
  platform::StreamedEvent event;
  event.pid = head.pid;
  event.fields.pid = head.pid;
  event.fields.parentPid = head.parent_pid;
  event.fields.uid = head.uid;
  event.timeNanos = head.time_ns > clocks.bootAheadNanos ? head.time_ns - clocks.bootAheadNanos : 0;
  std::uint64_t nanosPerTick = clocks.ticksPerSecond == 0 ? 0 : 1000000000u / clocks.ticksPerSecond;
  event.startStamp = nanosPerTick == 0 ? 0 : head.start_ns / nanosPerTick;
  event.startNanos = head.start_ns;
  switch (head.kind) {
    case PROCESS_EVENT_EXEC: {
      event.type = platform::kTraceTypeStart;
      std::size_t pathBytes = head.path_bytes;
      if (pathBytes > size - sizeof head || pathBytes > PROCESS_EVENT_PATH_BYTES)
        return std::nullopt;
      // A cut path is no path: the agent then reads the process itself.
      if ((head.flags & PROCESS_EVENT_PATH_CUT) == 0) {
        event.fields.image =
            pathOfParts(reinterpret_cast<const char*>(data + sizeof head), pathBytes);
        if (!event.fields.image.empty() && (head.flags & PROCESS_EVENT_DELETED) != 0) {
          event.fields.image += " (deleted)";
        }
      }
      return event;
    }
    case PROCESS_EVENT_EXIT:
      event.type = (head.flags & PROCESS_EVENT_NEVER_EXECED) != 0
                       ? platform::kTraceTypeEndOfUnstarted
                       : platform::kTraceTypeEnd;
      event.fields.exitStatus = head.status;
      return event;
    default:
      return std::nullopt;
  }
}

}  // namespace Vantor::procdrv
