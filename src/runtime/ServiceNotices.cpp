#include "runtime/ServiceNotices.h"

#include <algorithm>
#include <chrono>

namespace Vantor {

void ServiceNotices::tell(const AgentStatus& status) {
  std::string line = statusLine(status);
  if (!ready_ && status.state == "metering") {
    ready_ = manager_.notify("READY=1\nSTATUS=" + line);
    if (ready_) {
      lastLine_ = line;
      lastState_ = status.state;
      lastSent_ = std::chrono::steady_clock::now();
    }
    return;
  }
  // A busy machine changes the count of processes every second: the line is sent when the
  // state changed, or at most every kStatusPause.
  auto now = std::chrono::steady_clock::now();
  if (line == lastLine_ || (status.state == lastState_ && now - lastSent_ < kStatusPause)) {
    return;
  }
  if (manager_.notify("STATUS=" + line)) {
    lastLine_ = line;
    lastState_ = status.state;
    lastSent_ = now;
  }
}

TimeSpan ServiceNotices::checkPeriod(const TimeSpan& configured) const {
  std::chrono::microseconds watchdog = manager_.watchdogInterval();
  if (watchdog.count() == 0) return configured;
  std::int64_t half = std::max<std::int64_t>(
      1, std::chrono::duration_cast<std::chrono::seconds>(watchdog / 2).count());
  return half < configured.getSeconds() ? TimeSpan(static_cast<std::int32_t>(half)) : configured;
}

}  // namespace Vantor
