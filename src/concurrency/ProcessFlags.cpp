#include "concurrency/ProcessFlags.h"

namespace Vantor {

std::atomic<bool> quitFlag{false};
std::atomic<bool> reconfigureFlag{false};
std::atomic<std::uint32_t> mainThreadId{0};

}  // namespace Vantor
