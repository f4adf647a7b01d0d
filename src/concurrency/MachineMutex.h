// A mutex among the processes of the machine, known by name: taken only when nobody else on
// the machine holds it, never waited for; the system frees it when its holder dies. For one
// running agent per user, and one writer of the suite's mailslots at a time.
#ifndef TARNWICK_CONCURRENCY_MACHINEMUTEX_H_
#define TARNWICK_CONCURRENCY_MACHINEMUTEX_H_

#include <memory>
#include <string>

#include "platform/Env.h"
#include "platform/NamedMutex.h"

namespace Vantor {

class MachineMutex {
 public:
  // Among env's named objects; '/' and '\' in the name become '_'.
  MachineMutex(platform::Env& env, const std::string& name,
               platform::MutexTakers takers = platform::MutexTakers::kEveryone);
  MachineMutex(const MachineMutex&) = delete;
  MachineMutex& operator=(const MachineMutex&) = delete;

  // Success when held, already or now. An error at once when the name is empty
  // (kErrorInvalidName), someone else holds it (kErrorAlreadyExists), or it could not be made.
  platform::Status tryTake();
  void release() { hold_.reset(); }
  bool isHeld() const { return hold_ != nullptr; }
  const std::string& name() const { return name_; }

 private:
  platform::Env& env_;
  std::string name_;
  const platform::MutexTakers takers_;
  std::unique_ptr<platform::NamedMutexHold> hold_;
};

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_MACHINEMUTEX_H_
