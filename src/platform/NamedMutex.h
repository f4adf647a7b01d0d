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

// The hold, or nullptr when someone else holds the mutex (lastError() kErrorAlreadyExists) or
// it cannot be made (another code; kErrorAccessDenied when another user owns a mutex meant for
// this user). The name must be a plain file name.
std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name,
                                                  MutexTakers takers = MutexTakers::kEveryone);

// Makes the named mutex exist, so that users who may not create one can still take it.
bool prepareNamedMutex(const std::string& name);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_NAMEDMUTEX_H_
