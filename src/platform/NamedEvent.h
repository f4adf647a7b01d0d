// An event of the suite known by name, such as the one a process-event driver sets when it has
// records, or the one that stops the agent's driver source. A process that may set it sets it,
// and a waiter sees it set. An automatic event is cleared by the wait that sees it; a manual
// one stays set. One thread at a time uses an object.
#ifndef TARNWICK_PLATFORM_NAMEDEVENT_H_
#define TARNWICK_PLATFORM_NAMEDEVENT_H_

namespace Vantor::platform {

class NamedEvent {
 public:
  enum class Reset { kAutomatic, kManual };
  // Who may set and wait on an event its creator makes: its creator's user, or every user.
  enum class Users { kThisUser, kEveryone };
  // Env::waitForAnyEvent's value when no event was set in time; kFailed is the platform
  // services' own answer for a failed wait, which Env turns into the failure's code.
  static constexpr int kTimedOut = -1;
  static constexpr int kFailed = -2;

  virtual ~NamedEvent() = default;

  // Sets this event, wherever its name has gone since it was made or opened.
  virtual bool set() = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_NAMEDEVENT_H_
