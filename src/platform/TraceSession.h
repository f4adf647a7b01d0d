// The kernel's trace session of process events, named, controlled and consumed in real time
// as the system's event-tracing calls do it. Events arrive as records in the system's layout:
// a header with the event's class GUID, type, version and time, and the class's data (the
// event classes describe it). Every call returns a Win32 error code (0 = success) unless it
// says otherwise.
#ifndef TARNWICK_PLATFORM_TRACESESSION_H_
#define TARNWICK_PLATFORM_TRACESESSION_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace Vantor::platform {

struct TraceGuid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::uint8_t data4[8] = {};
};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::string guidText(const TraceGuid& guid);

// The class of the kernel's process events, and of the header event every session starts with.
inline constexpr TraceGuid kProcessEventGuid = {
    0x3D6FA8D0, 0xFE05, 0x11D0, {0x9D, 0xDA, 0x00, 0xC0, 0x4F, 0xD7, 0xBA, 0x7C}};
inline constexpr TraceGuid kEventTraceHeaderGuid = {
    0x68FDD900, 0x4A3E, 0x11D1, {0x84, 0xF4, 0x00, 0x00, 0xF8, 0x04, 0x64, 0xE3}};
inline constexpr TraceGuid kSystemTraceControlGuid = {
    0x9E814AAD, 0x3204, 0x11D2, {0x9A, 0x82, 0x00, 0x60, 0x08, 0xA8, 0x69, 0x39}};

inline constexpr std::uint8_t kTraceTypeInfo = 0;
inline constexpr std::uint8_t kTraceTypeStart = 1;
inline constexpr std::uint8_t kTraceTypeEnd = 2;
// The end of a process whose start the session did not report (a rundown end).
inline constexpr std::uint8_t kTraceTypeEndOfUnstarted = 4;
inline constexpr std::uint32_t kTraceRealTimeMode = 0x100;
inline constexpr std::uint32_t kTraceFlagProcess = 1;
inline constexpr std::uint32_t kWnodeFlagTracedGuid = 0x20000;
inline constexpr std::uint32_t kWnodeFlagUseGuidPtr = 0x80000;
inline constexpr std::uint64_t kInvalidTraceHandle = ~std::uint64_t{0};
inline constexpr std::uint32_t kErrorCancelled = 1223;
inline constexpr std::uint32_t kErrorInstanceNotFound = 4201;

// The session properties block (EVENT_TRACE_PROPERTIES, 32-bit layout) and the offsets of
// its fields; the logger name follows the block at kTraceLoggerNameAt.
inline constexpr std::size_t kTracePropertiesSize = 1160;
inline constexpr std::size_t kTraceBufferSizeAt = 48;
inline constexpr std::size_t kTraceMaximumBuffersAt = 56;
inline constexpr std::size_t kTraceLogFileModeAt = 64;
inline constexpr std::size_t kTraceFlushTimerAt = 68;
inline constexpr std::size_t kTraceEnableFlagsAt = 72;
inline constexpr std::size_t kTraceLoggerNameAt = 120;

// One event as the session delivers it (EVENT_TRACE). The data and the GUID pointer live as
// long as the event callback runs.
struct EventTrace {
  std::uint16_t size = 0;
  std::uint8_t type = 0;
  std::uint8_t level = 0;
  std::uint16_t version = 0;
  std::uint32_t threadId = 0;
  std::uint32_t processId = 0;
  std::int64_t timeStamp = 0;  // 100 ns since 1601-01-01, UTC
  TraceGuid guid;
  const TraceGuid* guidPointer = nullptr;  // the class, when flags has kWnodeFlagUseGuidPtr
  std::uint32_t flags = 0;
  std::uint32_t instanceId = 0;
  std::uint32_t parentInstanceId = 0;
  const std::uint8_t* mofData = nullptr;
  std::uint32_t mofLength = 0;
};

// What the consumer is told with every buffer (EVENT_TRACE_LOGFILE): the events the session
// lost since it started, and how often its buffer overflowed.
struct TraceLogFile {
  std::uint64_t eventsLost = 0;
  std::uint64_t buffersLost = 0;
  // The bytes the session may hold for its consumer.
  std::uint64_t bufferBytes = 0;
};

using TraceBufferCallback = std::function<bool(const TraceLogFile&)>;
using TraceEventCallback = std::function<void(const EventTrace&)>;

enum class TraceControl { kQuery, kStop };

// The kernel's trace sessions. Safe for concurrent use by multiple threads.
class KernelTrace {
 public:
  virtual ~KernelTrace() = default;

  // Query: 0 when a session of that name runs; stop: 0 when one was stopped; otherwise
  // kErrorInstanceNotFound.
  virtual std::uint32_t controlTrace(const std::string& loggerName,
                                     std::vector<std::uint8_t>& properties,
                                     TraceControl control) = 0;
  // Starts the named session with the properties block; kErrorAlreadyExists when it runs,
  // kErrorAccessDenied without the right to trace the system's processes.
  virtual std::uint32_t startTrace(std::uint64_t* session, const std::string& loggerName,
                                   std::vector<std::uint8_t>& properties) = 0;
  // A consumer of the named real-time session, or the error that kept it from being opened.
  virtual Expected<std::uint64_t> openTrace(const std::string& loggerName,
                                            std::uint32_t logFileMode) = 0;
  // Delivers events until the session stops (0) or bufferCallback returns false
  // (kErrorCancelled). The callbacks run on the calling thread, one at a time; bufferCallback
  // runs after every buffer, at least once per flush period.
  virtual std::uint32_t processTrace(std::uint64_t consumer,
                                     const TraceBufferCallback& bufferCallback,
                                     const TraceEventCallback& eventCallback) = 0;
  virtual std::uint32_t closeTrace(std::uint64_t consumer) = 0;

  // Whether this process may start the kernel's trace session at all; an error where the
  // system has none or refuses it to this user.
  virtual Status permitted() = 0;
  // Whether the system's pointers are 64 bits wide, as the kernel's event data lay them out.
  virtual bool runsOn64BitSystem() = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_TRACESESSION_H_
