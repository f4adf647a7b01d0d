// What the agent tells the service manager that started it: ready once it meters, its status
// line whenever that changes, a watchdog ping after each health check that passed, and the
// beginning of its stop. tell() and healthy() belong to the status monitor's thread.
#ifndef TARNWICK_RUNTIME_SERVICENOTICES_H_
#define TARNWICK_RUNTIME_SERVICENOTICES_H_

#include <chrono>
#include <string>

#include "foundation/TimeSpan.h"
#include "platform/ServiceManager.h"
#include "runtime/AgentStatus.h"

namespace Vantor {

class ServiceNotices {
 public:
  explicit ServiceNotices(platform::ServiceManager& manager) : manager_(manager) {}

  // Whether a manager listens: the status is gathered only for one.
  bool wanted() const { return manager_.listens(); }
  // READY=1 with the first status that meters; afterwards STATUS= when the line changed.
  void tell(const AgentStatus& status);
  // WATCHDOG=1: the health check passed.
  void healthy() { manager_.notify("WATCHDOG=1"); }
  // STOPPING=1: the final delivery begins. Any thread.
  void stopping() { manager_.notify("STOPPING=1\nSTATUS=stopping: delivering the data"); }
  // The health check's period: the configured one, or half the watchdog's interval where that
  // is shorter, so that a healthy agent is never taken for a hung one.
  TimeSpan checkPeriod(const TimeSpan& configured) const;

 private:
  static constexpr std::chrono::seconds kStatusPause{10};

  platform::ServiceManager& manager_;
  bool ready_ = false;
  std::string lastLine_;
  std::string lastState_;
  std::chrono::steady_clock::time_point lastSent_;
};

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_SERVICENOTICES_H_
