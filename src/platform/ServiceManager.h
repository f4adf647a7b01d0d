// The service manager that started the agent, where it asked to be told how the agent is
// (systemd's notification socket on Linux): readiness, a status line, watchdog pings, the
// stop. Outside such a manager every call does nothing.
#ifndef TARNWICK_PLATFORM_SERVICEMANAGER_H_
#define TARNWICK_PLATFORM_SERVICEMANAGER_H_

#include <chrono>
#include <string>

namespace Vantor::platform {

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Whether a manager asked to be told.
  virtual bool listens() const = 0;
  // Sends one notification of newline-separated assignments ("READY=1\nSTATUS=..."); never
  // waits for the manager. False when there is no manager or it could not be told.
  virtual bool notify(const std::string& assignments) = 0;
  // How often the manager wants to hear WATCHDOG=1 at most; zero when it watches nothing.
  virtual std::chrono::microseconds watchdogInterval() const = 0;
  // Whether standard error is the manager's journal, which reads a priority prefix ("<4>").
  virtual bool standardErrorIsJournal() const = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_SERVICEMANAGER_H_
