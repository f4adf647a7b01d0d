// The kernel trace session on the netlink process connector. A session is a connector socket
// with a receive thread that only reads it: for each program started it reads the executable
// and the real user at once, before the process can end, and queues the event with what it
// read. The consumer turns queued events into event records. Sessions are known by name
// within this process (the connector serves every listener alike, so one process's session
// disturbs no other's).
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <thread>
#include <unordered_map>

#include "platform/ErrorCodes.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"
#include "platform/TraceSession.h"
#include "platform/Unaligned.h"
#include "platform/posix/ConnectorSocket.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcConnector.h"
#include "platform/posix/ProcessEventData.h"

namespace Vantor::platform {

namespace {

// Large enough that a burst of thread churn loses nothing (a few megabytes lost events). The
// kernel doubles it for its own bookkeeping: the socket reports 32 MB.
constexpr std::uint64_t kDefaultBufferBytes = 16u << 20;
// The consumer delivers what was queued, and asks whether to go on, this often: more often
// than any flush period asks.
constexpr int kConsumerWakeMillis = 100;
constexpr std::size_t kQueueWakeSize = 1024;
// The receiver reads the kernel's events in batches this far apart: the socket holds them.
constexpr int kReceiverPauseMillis = 10;
// Readings whose event the receiver never saw (it lost them) are dropped beyond this many.
constexpr std::size_t kMostReadings = 4096;
constexpr std::uint32_t kErrorCallbackException = 998;
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;

std::uint32_t readWord(const std::vector<std::uint8_t>& block, std::size_t at) {
  return block.size() < at + 4 ? 0 : readUnaligned<std::uint32_t>(block.data() + at);
}

struct QueuedEvent {
  std::uint8_t type = kTraceTypeEnd;
  std::uint32_t pid = 0;
  std::uint64_t timeNanos = 0;
  ProcessEventFields fields;
};

// Whether every thread of the process has ended: its pidfd is readable then, or the process
// is gone altogether.
bool processEnded(std::uint32_t pid) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.valid()) return true;
  pollfd wait = {pidfd.get(), POLLIN, 0};
  return ::poll(&wait, 1, 0) == 1;
}

// An event's place in the kernel's sequence: the same for every socket that receives it.
std::uint64_t sequenceKey(const ProcEvent& event) {
  return std::uint64_t{event.cpu} << 32 | event.sequence;
}

// Two sockets and two threads. The namer's socket receives only program starts; its thread
// reads each started process at once, ahead of ordinary work where the system permits, since
// a program that runs a millisecond is gone otherwise. The receiver's socket receives every
// event; its thread reads them in batches, counts what was lost, follows forks and exits,
// and queues starts (with what the namer read) and ends for the consumer.
class Session {
 public:
  explicit Session(std::uint64_t bufferBytes) : requestedBufferBytes_(bufferBytes) {}
  ~Session() { stop(); }

  std::uint32_t start(bool listen);
  void stop();
  std::uint32_t consume(const TraceBufferCallback& bufferCallback,
                        const TraceEventCallback& eventCallback);
  bool claimConsumer() { return !consumed_.exchange(true); }
  void releaseConsumer() { consumed_.store(false); }

 private:
  // Waits until fd can be read or the session stops; false once it stops.
  bool waitFor(int fd, int timeoutMillis);
  void receive();
  void name();
  void handle(const ProcEvent& event, std::vector<QueuedEvent>* batch);
  // Queues the end of every process of endings_ whose threads have all ended.
  void endProcesses(std::vector<QueuedEvent>* batch);
  StartFacts takeReading(const ProcEvent& event, const ProcChange& change);
  void deliver(const QueuedEvent& queued, std::int64_t clockOffsetNanos,
               const TraceEventCallback& eventCallback);

  const std::uint64_t requestedBufferBytes_;
  ConnectorSocket events_;
  ConnectorSocket starts_;
  UniqueFd stopSignal_;
  UniqueFd queueSignal_;
  std::thread receiver_;
  std::thread namer_;
  std::atomic<bool> consumed_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<std::uint64_t> overflows_{0};
  std::atomic<std::uint64_t> lost_{0};
  ProcEventTracker tracker_;  // the receiver's own
  bool wide_ = runsOn64BitSystem();
  Mutex readingsMutex_;
  std::unordered_map<std::uint64_t, StartFacts> readings_ GUARDED_BY(readingsMutex_);
  // The last program start of each processor the receiver has handled.
  std::unordered_map<std::uint32_t, std::uint32_t> handledSequence_ GUARDED_BY(readingsMutex_);
  Mutex queueMutex_;
  std::deque<QueuedEvent> queue_ GUARDED_BY(queueMutex_);
  // Processes whose first thread has ended, with what their end will say: the receiver's own.
  struct Ending {
    std::uint8_t type = kTraceTypeEnd;
    std::int32_t exitStatus = 0;
    std::uint64_t timeNanos = 0;
  };
  std::unordered_map<std::uint32_t, Ending> endings_;
};

std::uint32_t Session::start(bool listen) {
  stopSignal_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  queueSignal_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopSignal_.valid() || !queueSignal_.valid()) return win32FromErrno(errno);
  if (listen) {
    if (!events_.open(requestedBufferBytes_, false)) return win32FromErrno(errno);
    // Without the namer, the receiver reads each start itself, later.
    // Its own buffer is never small: it holds program starts only, read at once.
    if (starts_.open(kDefaultBufferBytes, true)) namer_ = std::thread([this] { name(); });
  }
  receiver_ = std::thread([this] { receive(); });
  return kErrorSuccess;
}

bool Session::waitFor(int fd, int timeoutMillis) {
  pollfd waits[2] = {{stopSignal_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
  ::poll(waits, fd >= 0 ? 2 : 1, timeoutMillis);
  return !stopped_.load();
}

void Session::name() {
  ::pthread_setname_np(::pthread_self(), "trace-namer");
  sched_param priority{};
  priority.sched_priority = 1;
  ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority);
  std::vector<ProcEvent> events;
  while (waitFor(starts_.fd(), -1)) {
    events.clear();
    if (starts_.receive(&events) <= 0) continue;
    for (const ProcEvent& event : events) {
      if (event.what != static_cast<std::uint32_t>(ProcEventKind::kExec)) continue;
      ProcChange change;
      change.pid = event.tgid;
      StartFacts facts = readStart(change);
      MutexLock lock(&readingsMutex_);
      // Too late: the receiver has read this processor's events past this one already.
      auto handled = handledSequence_.find(event.cpu);
      if (handled != handledSequence_.end() && handled->second - event.sequence < 0x80000000u) {
        continue;
      }
      if (readings_.size() >= kMostReadings) readings_.clear();
      readings_.insert_or_assign(sequenceKey(event), std::move(facts));
    }
  }
}

void Session::receive() {
  ::pthread_setname_np(::pthread_self(), "trace-receiver");
  std::vector<ProcEvent> events;
  std::vector<QueuedEvent> batch;
  while (waitFor(events_.isOpen() ? events_.fd() : -1, -1)) {
    // Everything that waits, then a pause: a batch a wake-up, not an event.
    while (true) {
      events.clear();
      int got = events_.receive(&events);
      if (got < 0 && errno == ENOBUFS) {
        // The sequence gaps tell how many events went.
        overflows_.fetch_add(1);
        continue;
      }
      if (got <= 0) break;
      for (const ProcEvent& event : events) handle(event, &batch);
    }
    endProcesses(&batch);
    lost_.store(tracker_.lost());
    if (!batch.empty()) {
      bool full = false;
      {
        MutexLock lock(&queueMutex_);
        for (QueuedEvent& queued : batch) queue_.push_back(std::move(queued));
        full = queue_.size() >= kQueueWakeSize;
      }
      batch.clear();
      // The consumer comes by on its own within its wake period: waking it for every event
      // would cost two task switches each.
      if (full) {
        std::uint64_t one = 1;
        (void)!::write(queueSignal_.get(), &one, sizeof one);
      }
    }
    if (!waitFor(-1, kReceiverPauseMillis)) break;
  }
}

StartFacts Session::takeReading(const ProcEvent& event, const ProcChange& change) {
  {
    MutexLock lock(&readingsMutex_);
    handledSequence_[event.cpu] = event.sequence;
    auto reading = readings_.find(sequenceKey(event));
    if (reading != readings_.end()) {
      StartFacts facts = std::move(reading->second);
      readings_.erase(reading);
      // What forks and user changes told is surer than a gone process's parent.
      if (change.parentPid != 0) facts.parentPid = change.parentPid;
      if (!facts.uid) facts.uid = change.realUid;
      return facts;
    }
  }
  return readStart(change);
}

void Session::handle(const ProcEvent& event, std::vector<QueuedEvent>* batch) {
  ProcChange change = tracker_.handle(event);
  switch (change.kind) {
    case ProcChange::kNothing:
      return;
    case ProcChange::kEnd:
    case ProcChange::kForkedEnd:
      // Ended only once every thread has: queued when the batch is done (see endProcesses).
      if (endings_.size() >= kMostReadings) endings_.clear();
      endings_[change.pid] = {
          change.kind == ProcChange::kForkedEnd ? kTraceTypeEndOfUnstarted : kTraceTypeEnd,
          change.exitStatus, event.timeNanos};
      return;
    case ProcChange::kThreadEnd:
      // The last thread to end tells the status the process ends with.
      if (auto ending = endings_.find(change.pid); ending != endings_.end()) {
        ending->second.exitStatus = change.exitStatus;
        ending->second.timeNanos = event.timeNanos;
      }
      return;
    case ProcChange::kStart:
      // A thread that starts a program ends the first one: the process runs on.
      endings_.erase(change.pid);
      break;
  }
  QueuedEvent queued;
  queued.type = kTraceTypeStart;
  queued.pid = change.pid;
  queued.timeNanos = event.timeNanos;
  queued.fields.pid = change.pid;
  StartFacts facts = takeReading(event, change);
  queued.fields.image = std::move(facts.image);
  queued.fields.uid = facts.uid;
  queued.fields.parentPid = facts.parentPid;
  batch->push_back(std::move(queued));
}

void Session::endProcesses(std::vector<QueuedEvent>* batch) {
  for (auto ending = endings_.begin(); ending != endings_.end();) {
    if (!processEnded(ending->first)) {
      ++ending;
      continue;
    }
    QueuedEvent queued;
    queued.type = ending->second.type;
    queued.pid = ending->first;
    queued.timeNanos = ending->second.timeNanos;
    queued.fields.pid = ending->first;
    queued.fields.exitStatus = ending->second.exitStatus;
    batch->push_back(std::move(queued));
    ending = endings_.erase(ending);
  }
}

void Session::deliver(const QueuedEvent& queued, std::int64_t clockOffsetNanos,
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

std::int64_t monotonicToUnixNanos() {
  timespec real{};
  timespec monotonic{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return (real.tv_sec - monotonic.tv_sec) * 1000000000LL + (real.tv_nsec - monotonic.tv_nsec);
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
      pollfd wait = {queueSignal_.get(), POLLIN, 0};
      ::poll(&wait, 1, kConsumerWakeMillis);
      std::uint64_t signals;
      (void)!::read(queueSignal_.get(), &signals, sizeof signals);
      std::deque<QueuedEvent> events;
      {
        MutexLock lock(&queueMutex_);
        events.swap(queue_);
      }
      std::int64_t offset = monotonicToUnixNanos();
      for (const QueuedEvent& queued : events) deliver(queued, offset, eventCallback);
      bool stopped = stopped_.load();
      // Every wake, so that a stop asked for is seen within the wake period.
      TraceLogFile logFile{lost_.load(), overflows_.load(), events_.bufferBytes()};
      if (!bufferCallback(logFile)) return kErrorCancelled;
      if (stopped) return kErrorSuccess;
    }
  } catch (const ThreadCancellation&) {
    throw;
  } catch (...) {
    return kErrorCallbackException;
  }
}

void Session::stop() {
  if (stopped_.exchange(true)) return;
  std::uint64_t one = 1;
  (void)!::write(stopSignal_.get(), &one, sizeof one);
  (void)!::write(queueSignal_.get(), &one, sizeof one);
  // Joining must finish even on a thread that is being cancelled: no half-stopped session.
  int previous = 0;
  ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &previous);
  if (receiver_.joinable()) receiver_.join();
  if (namer_.joinable()) namer_.join();
  ::pthread_setcancelstate(previous, nullptr);
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

}  // namespace

std::string guidText(const TraceGuid& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", guid.data1,
                guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2], guid.data4[3],
                guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
  return text;
}

std::uint32_t controlTrace(const std::string& loggerName, std::vector<std::uint8_t>& properties,
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

std::uint32_t startTrace(std::uint64_t* handle, const std::string& loggerName,
                         std::vector<std::uint8_t>& properties) {
  if (properties.size() < kTracePropertiesSize ||
      (readWord(properties, kTraceLogFileModeAt) & kTraceRealTimeMode) == 0) {
    return kErrorInvalidParameter;
  }
  std::uint64_t bufferBytes = std::uint64_t{readWord(properties, kTraceBufferSizeAt)} * 1024 *
                              readWord(properties, kTraceMaximumBuffersAt);
  auto session = std::make_shared<Session>(bufferBytes == 0 ? kDefaultBufferBytes : bufferBytes);
  MutexLock lock(&registryMutex);
  if (sessions().count(loggerName) != 0) return kErrorAlreadyExists;
  bool listen = (readWord(properties, kTraceEnableFlagsAt) & kTraceFlagProcess) != 0;
  if (std::uint32_t error = session->start(listen)) return error;
  sessions().emplace(loggerName, session);
  *handle = reinterpret_cast<std::uintptr_t>(session.get());
  return kErrorSuccess;
}

std::uint64_t openTrace(const std::string& loggerName, std::uint32_t logFileMode) {
  MutexLock lock(&registryMutex);
  auto found = sessions().find(loggerName);
  if ((logFileMode & kTraceRealTimeMode) == 0 || found == sessions().end()) {
    setLastError(kErrorInstanceNotFound);
    return kInvalidTraceHandle;
  }
  // One consumer at a time: each would take events from the other.
  if (!found->second->claimConsumer()) {
    setLastError(kErrorBusy);
    return kInvalidTraceHandle;
  }
  std::uint64_t consumer = nextConsumer++;
  consumers().emplace(consumer, found->second);
  return consumer;
}

std::uint32_t processTrace(std::uint64_t consumer, const TraceBufferCallback& bufferCallback,
                           const TraceEventCallback& eventCallback) {
  std::shared_ptr<Session> session = findConsumer(consumer);
  if (!session) return kErrorInvalidHandle;
  return session->consume(bufferCallback, eventCallback);
}

std::uint32_t closeTrace(std::uint64_t consumer) {
  MutexLock lock(&registryMutex);
  auto found = consumers().find(consumer);
  if (found == consumers().end()) return kErrorInvalidHandle;
  found->second->releaseConsumer();
  consumers().erase(found);
  return kErrorSuccess;
}

bool kernelTracePermitted() {
  if (!ConnectorSocket::bindable()) return failWith(errno);
  return true;
}

bool runsOn64BitSystem() {
  utsname names{};
  if (::uname(&names) != 0) return sizeof(void*) == 8;
  std::string machine = names.machine;
  return machine.find("64") != std::string::npos || machine.starts_with("s390x");
}

}  // namespace Vantor::platform
