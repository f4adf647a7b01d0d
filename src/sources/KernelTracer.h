// The kernel's trace session of process events, taken over for this program: started when
// the tracer is made (a session already running is stopped first), consumed in real time by
// consume(), stopped when the tracer goes. One tracer at a time.
#ifndef TARNWICK_SOURCES_KERNELTRACER_H_
#define TARNWICK_SOURCES_KERNELTRACER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "logging/LoggerUnit.h"
#include "platform/TraceSession.h"

namespace Vantor {

class KernelTracer {
 public:
  static constexpr char kLoggerName[] = "NT Kernel Logger";

  // bufferKilobytes: the session's buffer, 0 for the system's choice. A session that cannot
  // be started is reported and sets the quit flag.
  KernelTracer(platform::KernelTrace& trace, const LoggerUnit& logger,
               std::uint32_t bufferKilobytes);
  virtual ~KernelTracer();
  KernelTracer(const KernelTracer&) = delete;
  KernelTracer& operator=(const KernelTracer&) = delete;

  // The session properties block, empty (reported, quit flag set) when it cannot be made.
  std::vector<std::uint8_t> allocateSessionProperties();
  // Delivers the session's events to the callbacks until the session ends or the buffer
  // callback says stop.
  void consume();
  void setBufferCallback(platform::TraceBufferCallback callback) {
    bufferCallback_ = std::move(callback);
  }
  void setEventCallback(platform::TraceEventCallback callback) {
    eventCallback_ = std::move(callback);
  }

 private:
  void stopRunningSession(std::vector<std::uint8_t>& properties);

  platform::KernelTrace& trace_;
  const LoggerUnit& logger_;
  const std::uint32_t bufferKilobytes_;
  std::uint64_t session_ = 0;
  platform::TraceBufferCallback bufferCallback_;
  platform::TraceEventCallback eventCallback_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_KERNELTRACER_H_
