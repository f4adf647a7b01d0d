#include "runtime/AgentStatus.h"

#include <cstdio>

#include "foundation/TextUtils.h"

namespace Vantor {

namespace {

std::string localText(const DateTime& time, bool withDate) {
  if (time.isZero()) return "none";
  DateTimeFields local = time.localBreakdown();
  char text[32];
  if (withDate) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.year, local.month,
                  local.day, local.hour, local.minute, local.second);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.hour, local.minute, local.second);
  }
  return text;
}

std::string jsonTime(const DateTime& time) {
  return time.isZero() ? "null" : TextUtils::jsonString(time.toString(true, false, true));
}

std::string number(std::uint64_t value) { return std::to_string(value); }

}  // namespace

DateTime AgentStatus::lastDelivery() const {
  DateTime latest(0LL);
  for (const DataStreams::StreamStatus& stream : streams) {
    if (latest < stream.lastDelivery) latest = stream.lastDelivery;
  }
  return latest;
}

DateTime AgentStatus::nextDelivery() const {
  DateTime soonest(0LL);
  for (const DataStreams::StreamStatus& stream : streams) {
    if (!stream.nextDelivery.isZero() && (soonest.isZero() || stream.nextDelivery < soonest)) {
      soonest = stream.nextDelivery;
    }
  }
  return soonest;
}

std::string statusText(const AgentStatus& status) {
  std::string text =
      "tarnwick " + status.version + " (pid " + number(status.pid) + "): " + status.state + "\n";
  text += "started:    " + localText(status.started, true) +
          ", configurations applied: " + number(status.configurations) + "\n";
  text += "events:     " + status.eventSource + ", " + status.eventState + "; " +
          number(status.eventsLost) + " lost, " + number(status.repairs) + " repairs, " +
          number(status.fullPolls) + " full polls\n";
  text += "processes:  " +
          (status.processes ? number(*status.processes) + " in the map"
                            : std::string("unknown (the map is busy)")) +
          "\n";
  text += "deliveries: last " + localText(status.lastDelivery(), false) + ", next " +
          localText(status.nextDelivery(), false) + "\n";
  std::string records;
  for (const DataStreams::StreamStatus& stream : status.streams) {
    records += (records.empty() ? "" : ", ") + stream.id + " " + number(stream.recordsWritten);
  }
  text += "records:    " + (records.empty() ? std::string("none") : records) + "\n";
  for (const ThreadTable::WorkerStatus& worker : status.workers) {
    text += "worker:     " + worker.name + " " + worker.state + ", last heartbeat " +
            localText(worker.lastHeartbeat, false) + "\n";
  }
  return text;
}

std::string statusJson(const AgentStatus& status) {
  std::string json =
      "{\"version\": " + TextUtils::jsonString(status.version) +
      ", \"pid\": " + number(status.pid) + ", \"started\": " + jsonTime(status.started) +
      ", \"state\": " + TextUtils::jsonString(status.state) +
      ", \"configurations\": " + number(status.configurations) +
      ", \"event_source\": " + TextUtils::jsonString(status.eventSource) +
      ", \"event_state\": " + TextUtils::jsonString(status.eventState) +
      ", \"processes\": " + (status.processes ? number(*status.processes) : std::string("null")) +
      ", \"full_polls\": " + number(status.fullPolls) +
      ", \"events_lost\": " + number(status.eventsLost) +
      ", \"repairs\": " + number(status.repairs) +
      ", \"last_delivery\": " + jsonTime(status.lastDelivery()) +
      ", \"next_delivery\": " + jsonTime(status.nextDelivery()) + ", \"streams\": [";
  for (std::size_t i = 0; i < status.streams.size(); ++i) {
    const DataStreams::StreamStatus& stream = status.streams[i];
    json += std::string(i == 0 ? "" : ", ") + "{\"id\": " + TextUtils::jsonString(stream.id) +
            ", \"records_written\": " + number(stream.recordsWritten) +
            ", \"last_delivery\": " + jsonTime(stream.lastDelivery) +
            ", \"next_delivery\": " + jsonTime(stream.nextDelivery) + "}";
  }
  json += "], \"workers\": [";
  for (std::size_t i = 0; i < status.workers.size(); ++i) {
    const ThreadTable::WorkerStatus& worker = status.workers[i];
    json += std::string(i == 0 ? "" : ", ") + "{\"name\": " + TextUtils::jsonString(worker.name) +
            ", \"state\": " + TextUtils::jsonString(worker.state) +
            ", \"last_heartbeat\": " + jsonTime(worker.lastHeartbeat) + "}";
  }
  return json + "]}";
}

std::string statusLine(const AgentStatus& status) {
  std::string line = status.state;
  if (status.processes) line += " " + number(*status.processes) + " processes";
  line += " from " + status.eventSource;
  if (status.eventState == "falling back to polls") line += ", falling back to polls";
  DateTime last = status.lastDelivery();
  if (!last.isZero()) {
    line += "; last delivery " + localText(last, false).substr(0, 5);
  }
  return line;
}

}  // namespace Vantor
