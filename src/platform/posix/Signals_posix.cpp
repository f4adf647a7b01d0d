#include <pthread.h>
#include <signal.h>

#include <thread>

#include "platform/SystemServices.h"

namespace Vantor::platform {

void watchProcessSignals(std::function<void()> onEnd, std::function<void()> onReconfigure) {
  sigset_t wanted;
  sigemptyset(&wanted);
  sigaddset(&wanted, SIGTERM);
  sigaddset(&wanted, SIGINT);
  sigaddset(&wanted, SIGHUP);
  // Blocked here, inherited by every thread made from now on: only sigwait takes them.
  pthread_sigmask(SIG_BLOCK, &wanted, nullptr);
  std::thread([wanted, onEnd = std::move(onEnd), onReconfigure = std::move(onReconfigure)] {
    while (true) {
      int received = 0;
      if (sigwait(&wanted, &received) != 0) continue;
      if (received == SIGHUP) {
        onReconfigure();
      } else {
        onEnd();
      }
    }
  }).detach();
}

}  // namespace Vantor::platform
