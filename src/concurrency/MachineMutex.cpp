#include "concurrency/MachineMutex.h"

namespace Vantor {

MachineMutex::MachineMutex(platform::Env& env, const std::string& name,
                           platform::MutexTakers takers)
    : env_(env), name_(name), takers_(takers) {
  for (char& c : name_) {
    if (c == '/' || c == '\\') c = '_';
  }
}

bool MachineMutex::tryTake() {
  if (hold_) return true;
  if (name_.empty()) return false;
  hold_ = env_.tryHoldNamedMutex(name_, takers_);
  return hold_ != nullptr;
}

}  // namespace Vantor
