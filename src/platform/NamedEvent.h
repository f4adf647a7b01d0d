// An event of the suite known by name, such as the one a process-event driver sets when it has
// records, or the one that stops the agent's driver source. A process that may set it sets it,
// and a waiter sees it set. An automatic event is cleared by the wait that sees it; a manual
// one stays set. One thread at a time uses an object.
#ifndef TARNWICK_PLATFORM_NAMEDEVENT_H_
#define TARNWICK_PLATFORM_NAMEDEVENT_H_

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace Vantor::platform {

class NamedEvent {
 public:
  enum class Reset { kAutomatic, kManual };
  // Who may set and wait on an event its creator makes: its creator's user, or every user.
  enum class Users { kThisUser, kEveryone };
  static constexpr int kTimedOut = -1;
  static constexpr int kFailed = -2;

  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  // Makes the event, not set, or takes the one of that name this user made before; null with
  // lastError set when it cannot. The name must be a plain file name.
  static std::unique_ptr<NamedEvent> create(const std::string& name, Reset reset, Users users);
  // The event another program of the system or this user made; null with lastError
  // kErrorFileNotFound when there is none, kErrorAccessDenied when another user made it.
  static std::unique_ptr<NamedEvent> open(const std::string& name, Reset reset);
  // Sets the event of that name; false (lastError set) when there is none, it may not be set,
  // or another user than this one or the system made it.
  static bool set(const std::string& name);
  // Sets this event, wherever its name has gone since it was made or opened.
  bool set();
  // Waits until one of events is set, up to timeout: the index of the first that is, kTimedOut,
  // or kFailed (lastError set).
  static int waitForAny(const std::vector<NamedEvent*>& events, std::chrono::milliseconds timeout);

 private:
  NamedEvent(int fd, Reset reset) : fd_(fd), reset_(reset) {}

  int fd_;
  Reset reset_;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_NAMEDEVENT_H_
