#include "sources/KernelTracer.h"

#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "concurrency/ErrorName.h"
#include "concurrency/ProcessFlags.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Unaligned.h"

namespace Vantor {

namespace {

constexpr std::uint32_t kFlushSeconds = 1;
constexpr std::uint32_t kMaximumFileSize = 2;
constexpr std::size_t kGuidAt = 24;
constexpr std::size_t kWnodeFlagsAt = 44;
constexpr std::size_t kMaximumFileSizeAt = 60;
constexpr std::size_t kLogFileNameOffsetAt = 108;
constexpr std::size_t kLoggerNameOffsetAt = 112;
constexpr std::uint32_t kLogFileNameOffset = 640;
constexpr auto kAfterStopPause = std::chrono::milliseconds(100);

void putWord(std::vector<std::uint8_t>& block, std::size_t at, std::uint32_t value) {
  platform::writeUnaligned(block.data() + at, value);
}

std::uint32_t wordAt(const std::vector<std::uint8_t>& block, std::size_t at) {
  return platform::readUnaligned<std::uint32_t>(block.data() + at);
}

const char* startErrorText(std::uint32_t code) {
  switch (code) {
    case 24:
      return "Bad Length";
    case platform::kErrorAccessDenied:
      return "Access Denied";
    case platform::kErrorInvalidParameter:
      return "Invalid Parameter";
    case platform::kErrorAlreadyExists:
      return "Already Exists";
    default:
      return "Unknown error";
  }
}

std::string processTraceErrorText(std::uint32_t code) {
  switch (code) {
    case 6:
      return "An element of HandleArray is not a valid event tracing session handle.";
    case 14:
      return "Out of memory.";
    case 24:
      return "HandleCount is invalid.";
    case 87:
      return "HandleArray is null.";
    case 998:
      return "An exception occurred in one of the callback functions used to deliver the "
             "traces.";
    case 1901:
      return "End time is less than Start time.";
    default:
      return "Unknown return value: " + std::to_string(code) + " (" + errorName(code) + ")";
  }
}

// Closes a consumer however consumption ends, a cancelled thread included.
class ConsumerGuard {
 public:
  ConsumerGuard(platform::KernelTrace& trace, std::uint64_t consumer)
      : trace_(trace), consumer_(consumer) {}
  ~ConsumerGuard() { trace_.closeTrace(consumer_); }
  ConsumerGuard(const ConsumerGuard&) = delete;
  ConsumerGuard& operator=(const ConsumerGuard&) = delete;

 private:
  platform::KernelTrace& trace_;
  std::uint64_t consumer_;
};

}  // namespace

KernelTracer::KernelTracer(platform::KernelTrace& trace, const LoggerUnit& logger,
                           std::uint32_t bufferKilobytes)
    : trace_(trace), logger_(logger), bufferKilobytes_(bufferKilobytes) {
  std::vector<std::uint8_t> properties = allocateSessionProperties();
  if (properties.empty()) return;
  if (trace_.controlTrace(kLoggerName, properties, platform::TraceControl::kQuery) ==
      platform::kErrorSuccess) {
    stopRunningSession(properties);
  }
  putWord(properties, platform::kTraceEnableFlagsAt,
          wordAt(properties, platform::kTraceEnableFlagsAt) | platform::kTraceFlagProcess);
  std::uint32_t result = trace_.startTrace(&session_, kLoggerName, properties);
  if (result != platform::kErrorSuccess) {
    logger_.fatal(22, startErrorText(result));
    raiseQuitFlag();
    return;
  }
  logger_.debug(3, "KernelTracer: Logger started");
}

void KernelTracer::stopRunningSession(std::vector<std::uint8_t>& properties) {
  logger_.warning(18);
  logger_.debug(1, "Trying to stop the kernel logger...");
  std::uint32_t flags = wordAt(properties, platform::kTraceEnableFlagsAt);
  putWord(properties, platform::kTraceEnableFlagsAt, 0);
  std::uint32_t stopped =
      trace_.controlTrace(kLoggerName, properties, platform::TraceControl::kStop);
  if (stopped != platform::kErrorSuccess) {
    logger_.debug(1, "   Failed to stop the logger. Error code: %i", stopped);
  } else {
    logger_.debug(1, "   Succeeded in stopping the logger.");
  }
  putWord(properties, platform::kTraceEnableFlagsAt, flags);
  std::this_thread::sleep_for(kAfterStopPause);
}

KernelTracer::~KernelTracer() {
  std::vector<std::uint8_t> properties = allocateSessionProperties();
  if (properties.empty()) return;
  if (trace_.controlTrace(kLoggerName, properties, platform::TraceControl::kStop) !=
      platform::kErrorSuccess) {
    logger_.debug(1, "KernelTracer: The logger was not stopped");
  } else {
    logger_.debug(3, "KernelTracer: The logger was stopped");
  }
}

std::vector<std::uint8_t> KernelTracer::allocateSessionProperties() {
  std::vector<std::uint8_t> block;
  try {
    block.assign(platform::kTracePropertiesSize, 0);
  } catch (const std::bad_alloc&) {
    logger_.fatal(21, "KernelTracer:allocateSessionProperties");
    raiseQuitFlag();
    return {};
  }
  putWord(block, 0, platform::kTracePropertiesSize);
  putWord(block, kGuidAt, platform::kSystemTraceControlGuid.data1);
  std::memcpy(block.data() + kGuidAt + 4, &platform::kSystemTraceControlGuid.data2, 2);
  std::memcpy(block.data() + kGuidAt + 6, &platform::kSystemTraceControlGuid.data3, 2);
  std::memcpy(block.data() + kGuidAt + 8, platform::kSystemTraceControlGuid.data4, 8);
  putWord(block, kWnodeFlagsAt, platform::kWnodeFlagTracedGuid);
  if (bufferKilobytes_ != 0) {
    putWord(block, platform::kTraceBufferSizeAt, bufferKilobytes_);
    putWord(block, platform::kTraceMaximumBuffersAt, 1);
  }
  putWord(block, kMaximumFileSizeAt, kMaximumFileSize);
  putWord(block, platform::kTraceLogFileModeAt, platform::kTraceRealTimeMode);
  putWord(block, platform::kTraceFlushTimerAt, kFlushSeconds);
  putWord(block, kLogFileNameOffsetAt, kLogFileNameOffset);
  putWord(block, kLoggerNameOffsetAt, platform::kTraceLoggerNameAt);
  std::memcpy(block.data() + platform::kTraceLoggerNameAt, kLoggerName, sizeof kLoggerName);
  return block;
}

void KernelTracer::consume() {
  platform::Expected<std::uint64_t> opened =
      trace_.openTrace(kLoggerName, platform::kTraceRealTimeMode);
  if (!opened) {
    logger_.debug(1, "KernelTracer, consume: Error %i opening kernel session.", opened.error());
    return;
  }
  std::uint64_t consumer = opened.value();
  ConsumerGuard guard(trace_, consumer);
  std::uint32_t result = trace_.processTrace(consumer, bufferCallback_, eventCallback_);
  if (result != platform::kErrorSuccess && result != platform::kErrorCancelled) {
    logger_.critical(19, processTraceErrorText(result));
  }
}

}  // namespace Vantor
