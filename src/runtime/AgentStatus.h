// What a running agent says of itself when asked: the answer to the "STATUS" command (a short
// block a person reads at a glance, or JSON with stable keys for monitoring scripts) and the
// one line the service manager shows.
#ifndef TARNWICK_RUNTIME_AGENTSTATUS_H_
#define TARNWICK_RUNTIME_AGENTSTATUS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/DateTime.h"
#include "supervision/ThreadTable.h"
#include "usage/DataStreams.h"

namespace Vantor {

struct AgentStatus {
  std::string version;
  std::uint32_t pid = 0;
  DateTime started;
  std::string state;                 // "starting", "metering" or "stopping"
  std::uint32_t configurations = 0;  // applied since the start, the first included
  std::string eventSource;           // "polls", "kernel events", "driver" or "none"
  // "polling every N s", "events flowing", "driver connected", "falling back to polls",
  // "waiting for events" or "neither polls nor events are configured"
  std::string eventState;
  std::optional<std::size_t> processes;  // none: the map was busy
  std::uint64_t fullPolls = 0;
  std::uint64_t eventsLost = 0;
  std::uint64_t repairs = 0;
  std::vector<DataStreams::StreamStatus> streams;
  std::vector<ThreadTable::WorkerStatus> workers;

  // The latest delivery of any stream, and the soonest one due; zero when none.
  DateTime lastDelivery() const;
  DateTime nextDelivery() const;
};

std::string statusText(const AgentStatus& status);
std::string statusJson(const AgentStatus& status);
// "metering 153 processes from kernel events; last delivery 11:20"
std::string statusLine(const AgentStatus& status);

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_AGENTSTATUS_H_
