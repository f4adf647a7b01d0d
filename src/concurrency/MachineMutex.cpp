#include "concurrency/MachineMutex.h"

namespace Vantor {

MachineMutex::MachineMutex(platform::Env& env, const std::string& name,
                           platform::MutexTakers takers)
    : env_(env), name_(name), takers_(takers) {
  for (char& c : name_) {
    if (c == '/' || c == '\\') c = '_';
  }
}

platform::Status MachineMutex::tryTake() {
  if (hold_) return {};
  if (name_.empty()) return platform::Status::error(platform::kErrorInvalidName);
  platform::Expected<std::unique_ptr<platform::NamedMutexHold>> taken =
      env_.tryHoldNamedMutex(name_, takers_);
  if (!taken) return platform::Status::error(taken.error());
  hold_ = std::move(taken.value());
  return {};
}

}  // namespace Vantor
