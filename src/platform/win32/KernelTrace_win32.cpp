// The kernel trace session through the system's event tracing calls. The core lays the
// session's properties out as a 32-bit system does, with the logger's name in narrow text;
// they are copied into the system's own structure, whatever its pointer width, and back.
// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <evntrace.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/TraceSession.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// The callbacks of the trace being processed: ProcessTrace calls back on its own thread.
thread_local const TraceBufferCallback* currentBufferCallback = nullptr;
thread_local const TraceEventCallback* currentEventCallback = nullptr;

ULONG WINAPI onBuffer(PEVENT_TRACE_LOGFILEW logFile) {
  if (currentBufferCallback == nullptr) return TRUE;
  TraceLogFile facts;
  facts.eventsLost = logFile->EventsLost;
  facts.buffersLost = logFile->LogfileHeader.BuffersLost;
  facts.bufferBytes = logFile->BufferSize;
  return (*currentBufferCallback)(facts) ? TRUE : FALSE;
}

TraceGuid traceGuidOf(const GUID& guid) {
  TraceGuid result;
  result.data1 = guid.Data1;
  result.data2 = guid.Data2;
  result.data3 = guid.Data3;
  std::memcpy(result.data4, guid.Data4, sizeof result.data4);
  return result;
}

void WINAPI onEvent(PEVENT_TRACE event) {
  if (currentEventCallback == nullptr || event == nullptr) return;
  const EVENT_TRACE_HEADER& header = event->Header;
  EventTrace trace;
  trace.size = header.Size;
  trace.type = header.Class.Type;
  trace.level = header.Class.Level;
  trace.version = header.Class.Version;
  trace.threadId = header.ThreadId;
  trace.processId = header.ProcessId;
  trace.timeStamp = header.TimeStamp.QuadPart;
  trace.flags = header.Flags;
  // Where the header names its class by pointer, the class is read through it.
  TraceGuid byPointer;
  if ((header.Flags & WNODE_FLAG_USE_GUID_PTR) != 0 && header.GuidPtr != 0) {
    byPointer = traceGuidOf(*reinterpret_cast<const GUID*>(header.GuidPtr));
    trace.guid = byPointer;
    trace.guidPointer = &byPointer;
  } else {
    trace.guid = traceGuidOf(header.Guid);
  }
  trace.instanceId = event->InstanceId;
  trace.parentInstanceId = event->ParentInstanceId;
  trace.mofData = static_cast<const std::uint8_t*>(event->MofData);
  trace.mofLength = event->MofLength;
  (*currentEventCallback)(trace);
}

// The header and the 32-bit fields up to the logger thread's handle lie alike in both layouts.
constexpr std::size_t kCommonFieldsEnd = offsetof(EVENT_TRACE_PROPERTIES, LoggerThreadId);
// Room after the structure for the logger's name.
constexpr std::size_t kNameCharacters = 1024;

// The system's structure for the core's block, with the logger's name after it.
class NativeProperties {
 public:
  NativeProperties(const std::vector<std::uint8_t>& core, const std::string& loggerName)
      : block_(sizeof(EVENT_TRACE_PROPERTIES) + kNameCharacters * sizeof(wchar_t), 0) {
    std::memcpy(block_.data(), core.data(), std::min(core.size(), kCommonFieldsEnd));
    EVENT_TRACE_PROPERTIES* properties = get();
    properties->Wnode.BufferSize = static_cast<ULONG>(block_.size());
    // A real-time session writes no file.
    properties->LogFileNameOffset = 0;
    properties->LoggerNameOffset = sizeof(EVENT_TRACE_PROPERTIES);
    std::wstring name = wide(loggerName).substr(0, kNameCharacters - 1);
    std::memcpy(block_.data() + sizeof(EVENT_TRACE_PROPERTIES), name.c_str(),
                (name.size() + 1) * sizeof(wchar_t));
  }

  EVENT_TRACE_PROPERTIES* get() { return reinterpret_cast<EVENT_TRACE_PROPERTIES*>(block_.data()); }

  // The counts the system filled in go back into the core's block; its settings stay its own,
  // so a session replacing another (a file-backed one, say) is still this agent's real-time
  // session.
  void copyBack(std::vector<std::uint8_t>& core) const {
    constexpr std::size_t kCountsAt = offsetof(EVENT_TRACE_PROPERTIES, NumberOfBuffers);
    if (core.size() >= kCommonFieldsEnd) {
      std::memcpy(core.data() + kCountsAt, block_.data() + kCountsAt, kCommonFieldsEnd - kCountsAt);
    }
  }

 private:
  std::vector<std::uint8_t> block_;
};

class Win32KernelTrace : public KernelTrace {
 public:
  std::uint32_t controlTrace(const std::string& loggerName, std::vector<std::uint8_t>& properties,
                             TraceControl control) override {
    ULONG code =
        control == TraceControl::kQuery ? EVENT_TRACE_CONTROL_QUERY : EVENT_TRACE_CONTROL_STOP;
    NativeProperties native(properties, loggerName);
    ULONG status = ::ControlTraceW(0, wide(loggerName).c_str(), native.get(), code);
    native.copyBack(properties);
    return status;
  }

  std::uint32_t startTrace(std::uint64_t* session, const std::string& loggerName,
                           std::vector<std::uint8_t>& properties) override {
    TRACEHANDLE handle = 0;
    NativeProperties native(properties, loggerName);
    ULONG status = ::StartTraceW(&handle, wide(loggerName).c_str(), native.get());
    native.copyBack(properties);
    *session = handle;
    return status;
  }

  Expected<std::uint64_t> openTrace(const std::string& loggerName,
                                    std::uint32_t logFileMode) override {
    std::wstring name = wide(loggerName);
    EVENT_TRACE_LOGFILEW logFile{};
    logFile.LoggerName = name.data();
    logFile.LogFileMode = logFileMode;
    logFile.BufferCallback = onBuffer;
    logFile.EventCallback = onEvent;
    TRACEHANDLE consumer = ::OpenTraceW(&logFile);
    if (consumer == static_cast<TRACEHANDLE>(kInvalidTraceHandle)) {
      failWithSystemError();
      return Expected<std::uint64_t>::failure(Status::error(lastError()));
    }
    return static_cast<std::uint64_t>(consumer);
  }

  std::uint32_t processTrace(std::uint64_t consumer, const TraceBufferCallback& bufferCallback,
                             const TraceEventCallback& eventCallback) override {
    currentBufferCallback = &bufferCallback;
    currentEventCallback = &eventCallback;
    TRACEHANDLE handle = consumer;
    ULONG status = ::ProcessTrace(&handle, 1, nullptr, nullptr);
    currentBufferCallback = nullptr;
    currentEventCallback = nullptr;
    return status;
  }

  std::uint32_t closeTrace(std::uint64_t consumer) override { return ::CloseTrace(consumer); }

  Status permitted() override {
    // The kernel logger is for administrators.
    return currentUserId() == 0 ? Status() : Status::error(kErrorAccessDenied);
  }

  bool runsOn64BitSystem() override {
#if defined(_WIN64)
    return true;
#else
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64;
#endif
  }
};

}  // namespace

KernelTrace& systemKernelTrace() {
  static KernelTrace* const trace = new Win32KernelTrace;
  return *trace;
}

}  // namespace Vantor::platform
