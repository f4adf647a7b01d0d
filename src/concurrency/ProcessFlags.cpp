#include "concurrency/ProcessFlags.h"

namespace Vantor {

std::atomic<bool> quitFlag{false};
std::atomic<bool> reconfigureFlag{false};
std::atomic<std::uint32_t> mainThreadId{0};

platform::Event& flagRaised() {
  static auto* event = new platform::Event;  // outlives every thread that sets it
  return *event;
}

void raiseQuitFlag() {
  quitFlag.store(true);
  flagRaised().set();
}

void raiseReconfigureFlag() {
  reconfigureFlag.store(true);
  flagRaised().set();
}

}  // namespace Vantor
