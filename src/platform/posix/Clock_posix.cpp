#include <time.h>

#include <cerrno>
#include <mutex>

#include "platform/Clock.h"

namespace Vantor::platform {

namespace {

class PosixClock : public Clock {
 public:
  std::int64_t utcSeconds() override {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
  }

  std::uint64_t tickMillis() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
  }

  std::int32_t localOffsetSeconds(std::int64_t utcSeconds) override {
    std::call_once(zoneLoaded_, [] { tzset(); });
    time_t instant = static_cast<time_t>(utcSeconds);
    tm local{};
    if (localtime_r(&instant, &local) == nullptr) return 0;
    return static_cast<std::int32_t>(local.tm_gmtoff);
  }

  void sleepMillis(std::uint32_t milliseconds) override {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }

 private:
  std::once_flag zoneLoaded_;
};

}  // namespace

Clock& systemClock() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* clock = new PosixClock();
  return *clock;
}

}  // namespace Vantor::platform
