// A lock shared by every process of the machine, known by name. Taking it never waits: it
// fails at once while anyone else holds it, also another object of this process.
#ifndef TARNWICK_PLATFORM_NAMEDMUTEX_H_
#define TARNWICK_PLATFORM_NAMEDMUTEX_H_

#include <memory>
#include <string>

namespace Vantor::platform {

// Held while the object lives; the system releases it when the holder dies.
class NamedMutexHold {
 public:
  virtual ~NamedMutexHold() = default;
};

// Who may take a named mutex: every user, or only this program's user (and the system's
// administrator), so that nobody else can hold it to stop the program.
enum class MutexTakers { kEveryone, kThisUser };

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_NAMEDMUTEX_H_
