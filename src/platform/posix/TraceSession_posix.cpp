// The kernel trace session on the netlink process connector: a process event stream whose
// events the consumer receives as event records. Sessions are known by name within this
// process (the connector serves every listener alike, so one process's session disturbs no
// other's).
#include <sys/utsname.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <map>
#include <memory>

#include "platform/ErrorCodes.h"
#include "platform/Mutex.h"
#include "platform/SystemServices.h"
#include "platform/ThreadCancellation.h"
#include "platform/TraceSession.h"
#include "platform/Unaligned.h"
#include "platform/posix/ConnectorSocket.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/ProcessEventData.h"
#include "platform/posix/ProcessEventStream.h"

namespace Vantor::platform {

namespace {

// The consumer delivers what was queued, and asks whether to go on, this often: more often
// than any flush period asks.
constexpr int kConsumerWakeMillis = 100;
constexpr std::uint32_t kErrorCallbackException = 998;
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;

std::uint32_t readWord(const std::vector<std::uint8_t>& block, std::size_t at) {
  return block.size() < at + 4 ? 0 : readUnaligned<std::uint32_t>(block.data() + at);
}

bool systemIs64Bit() {
  utsname names{};
  if (::uname(&names) != 0) return sizeof(void*) == 8;
  std::string machine = names.machine;
  return machine.find("64") != std::string::npos || machine.starts_with("s390x");
}

// A named session: the stream of process events, delivered to one consumer at a time as
// event records.
class Session {
 public:
  explicit Session(std::uint64_t bufferBytes) : stream_(bufferBytes) {}

  std::uint32_t start(bool listen) { return stream_.start(listen); }
  void stop() { stream_.stop(); }
  std::uint32_t consume(const TraceBufferCallback& bufferCallback,
                        const TraceEventCallback& eventCallback);
  bool claimConsumer() { return !consumed_.exchange(true); }
  void releaseConsumer() { consumed_.store(false); }

 private:
  void deliver(const StreamedEvent& queued, std::int64_t clockOffsetNanos,
               const TraceEventCallback& eventCallback);

  ProcessEventStream stream_;
  std::atomic<bool> consumed_{false};
  bool wide_ = systemIs64Bit();
};

void Session::deliver(const StreamedEvent& queued, std::int64_t clockOffsetNanos,
                      const TraceEventCallback& eventCallback) {
  std::vector<std::uint8_t> data = processEventData(queued.fields, {2, wide_});
  EventTrace event;
  event.size = static_cast<std::uint16_t>(std::min<std::size_t>(0xffff, 48 + data.size()));
  event.type = queued.type;
  event.version = 2;
  event.threadId = queued.pid;
  event.processId = queued.pid;
  std::int64_t unixNanos = static_cast<std::int64_t>(queued.timeNanos) + clockOffsetNanos;
  event.timeStamp = unixNanos / 100 + kFileTimeUnixEpoch;
  event.guid = kProcessEventGuid;
  event.flags = kWnodeFlagTracedGuid;
  event.mofData = data.data();
  event.mofLength = static_cast<std::uint32_t>(data.size());
  eventCallback(event);
}

std::uint32_t Session::consume(const TraceBufferCallback& bufferCallback,
                               const TraceEventCallback& eventCallback) {
  try {
    // Every session opens with its header event.
    EventTrace header;
    header.type = kTraceTypeInfo;
    header.guid = kEventTraceHeaderGuid;
    header.flags = kWnodeFlagTracedGuid;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    header.timeStamp = now.tv_sec * 10000000LL + now.tv_nsec / 100 + kFileTimeUnixEpoch;
    eventCallback(header);
    while (true) {
      std::deque<StreamedEvent> events = stream_.take(kConsumerWakeMillis);
      std::int64_t offset = monotonicToUnixNanos();
      for (const StreamedEvent& queued : events) deliver(queued, offset, eventCallback);
      bool stopped = stream_.stopped();
      // Every wake, so that a stop asked for is seen within the wake period.
      TraceLogFile logFile{stream_.lost(), stream_.overflows(), stream_.bufferBytes()};
      if (!bufferCallback(logFile)) return kErrorCancelled;
      if (stopped) return kErrorSuccess;
    }
  } catch (const ThreadCancellation&) {
    throw;
  } catch (...) {
    return kErrorCallbackException;
  }
}

Mutex registryMutex;
std::map<std::string, std::shared_ptr<Session>>& sessions() {
  static auto* named = new std::map<std::string, std::shared_ptr<Session>>();
  return *named;
}
std::map<std::uint64_t, std::shared_ptr<Session>>& consumers() {
  static auto* open = new std::map<std::uint64_t, std::shared_ptr<Session>>();
  return *open;
}
std::uint64_t nextConsumer GUARDED_BY(registryMutex) = 1;

std::shared_ptr<Session> findConsumer(std::uint64_t consumer) {
  MutexLock lock(&registryMutex);
  auto found = consumers().find(consumer);
  return found == consumers().end() ? nullptr : found->second;
}

// The kernel's process events through the process connector, in the shape of an event trace.
class ConnectorTrace : public KernelTrace {
 public:
  std::uint32_t controlTrace(const std::string& loggerName, std::vector<std::uint8_t>& properties,
                             TraceControl control) override;
  std::uint32_t startTrace(std::uint64_t* handle, const std::string& loggerName,
                           std::vector<std::uint8_t>& properties) override;
  Expected<std::uint64_t> openTrace(const std::string& loggerName,
                                    std::uint32_t logFileMode) override;
  std::uint32_t processTrace(std::uint64_t consumer, const TraceBufferCallback& bufferCallback,
                             const TraceEventCallback& eventCallback) override;
  std::uint32_t closeTrace(std::uint64_t consumer) override;
  Status permitted() override;
  bool runsOn64BitSystem() override;
};

}  // namespace

std::uint32_t ConnectorTrace::controlTrace(const std::string& loggerName,
                                           std::vector<std::uint8_t>& properties,
                                           TraceControl control) {
  std::shared_ptr<Session> session;
  {
    MutexLock lock(&registryMutex);
    auto found = sessions().find(loggerName);
    if (found == sessions().end()) return kErrorInstanceNotFound;
    if (control == TraceControl::kQuery) return kErrorSuccess;
    session = std::move(found->second);
    sessions().erase(found);
  }
  // Outside the registry: stopping waits for the receiver.
  session->stop();
  return kErrorSuccess;
}

std::uint32_t ConnectorTrace::startTrace(std::uint64_t* handle, const std::string& loggerName,
                                         std::vector<std::uint8_t>& properties) {
  if (properties.size() < kTracePropertiesSize ||
      (readWord(properties, kTraceLogFileModeAt) & kTraceRealTimeMode) == 0) {
    return kErrorInvalidParameter;
  }
  std::uint64_t bufferBytes = std::uint64_t{readWord(properties, kTraceBufferSizeAt)} * 1024 *
                              readWord(properties, kTraceMaximumBuffersAt);
  auto session = std::make_shared<Session>(
      bufferBytes == 0 ? ProcessEventStream::kDefaultBufferBytes : bufferBytes);
  MutexLock lock(&registryMutex);
  if (sessions().count(loggerName) != 0) return kErrorAlreadyExists;
  bool listen = (readWord(properties, kTraceEnableFlagsAt) & kTraceFlagProcess) != 0;
  if (std::uint32_t error = session->start(listen)) return error;
  sessions().emplace(loggerName, session);
  *handle = reinterpret_cast<std::uintptr_t>(session.get());
  return kErrorSuccess;
}

Expected<std::uint64_t> ConnectorTrace::openTrace(const std::string& loggerName,
                                                  std::uint32_t logFileMode) {
  MutexLock lock(&registryMutex);
  auto found = sessions().find(loggerName);
  if ((logFileMode & kTraceRealTimeMode) == 0 || found == sessions().end()) {
    return Expected<std::uint64_t>::failure(Status::error(kErrorInstanceNotFound));
  }
  // One consumer at a time: each would take events from the other.
  if (!found->second->claimConsumer()) {
    return Expected<std::uint64_t>::failure(Status::error(kErrorBusy));
  }
  std::uint64_t consumer = nextConsumer++;
  consumers().emplace(consumer, found->second);
  return consumer;
}

std::uint32_t ConnectorTrace::processTrace(std::uint64_t consumer,
                                           const TraceBufferCallback& bufferCallback,
                                           const TraceEventCallback& eventCallback) {
  std::shared_ptr<Session> session = findConsumer(consumer);
  if (!session) return kErrorInvalidHandle;
  return session->consume(bufferCallback, eventCallback);
}

std::uint32_t ConnectorTrace::closeTrace(std::uint64_t consumer) {
  MutexLock lock(&registryMutex);
  auto found = consumers().find(consumer);
  if (found == consumers().end()) return kErrorInvalidHandle;
  found->second->releaseConsumer();
  consumers().erase(found);
  return kErrorSuccess;
}

Status ConnectorTrace::permitted() {
  return Status::fromLastError(ConnectorSocket::bindable() || failWith(errno));
}

bool ConnectorTrace::runsOn64BitSystem() { return systemIs64Bit(); }

KernelTrace& systemKernelTrace() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* trace = new ConnectorTrace();
  return *trace;
}

}  // namespace Vantor::platform
