#include "platform/Clock.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

class Win32Clock : public Clock {
 public:
  std::int64_t utcSeconds() override {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return unixSecondsOfFileTime(now);
  }

  std::uint64_t tickMillis() override {
    // The performance counter, not GetTickCount64: its 16 ms steps would make short waits
    // look shorter than they were.
    static const LARGE_INTEGER frequency = [] {
      LARGE_INTEGER value;
      ::QueryPerformanceFrequency(&value);
      return value;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart / frequency.QuadPart * 1000 +
                                      now.QuadPart % frequency.QuadPart * 1000 /
                                          frequency.QuadPart);
  }

  std::int32_t localOffsetSeconds(std::int64_t utcSeconds) override {
    // The zone rules in force at that instant, daylight saving included.
    FILETIME utc = fileTimeOfUnixSeconds(utcSeconds);
    SYSTEMTIME universal;
    SYSTEMTIME local;
    if (!::FileTimeToSystemTime(&utc, &universal) ||
        !::SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local)) {
      return 0;
    }
    FILETIME localTime;
    if (!::SystemTimeToFileTime(&local, &localTime)) return 0;
    return static_cast<std::int32_t>(unixSecondsOfFileTime(localTime) - utcSeconds);
  }

  void sleepMillis(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }
};

}  // namespace

Clock& systemClock() {
  // Never destroyed: threads that outlive main may still read it.
  static Clock* const clock = new Win32Clock;
  return *clock;
}

}  // namespace Vantor::platform
