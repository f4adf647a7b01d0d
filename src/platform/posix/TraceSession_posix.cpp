// The kernel trace session on the netlink process connector. A session is a connector socket
// with a receive thread that only reads it: for each program started it reads the executable
// and the real user at once, before the process can end, and queues the event with what it
// read. The consumer turns queued events into event records. Sessions are known by name
// within this process (the connector serves every listener alike, so one process's session
// disturbs no other's).
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
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

#include "platform/ErrorCodes.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"
#include "platform/TraceSession.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcConnector.h"
#include "platform/posix/ProcText.h"
#include "platform/posix/ProcessEventData.h"

namespace Vantor::platform {

namespace {

// Large enough that a burst of thread churn loses nothing (a few megabytes lost events).
constexpr std::uint64_t kDefaultBufferBytes = 32u << 20;
constexpr std::size_t kBatch = 64;
constexpr std::size_t kDatagramBytes = 256;
// The consumer looks at the quit decision this often, whatever the flush period.
constexpr int kConsumerWakeMillis = 100;
constexpr std::uint32_t kErrorCallbackException = 998;
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;

std::uint32_t readWord(const std::vector<std::uint8_t>& block, std::size_t at) {
  if (block.size() < at + 4) return 0;
  std::uint32_t value;
  std::memcpy(&value, block.data() + at, sizeof value);
  return value;
}

struct QueuedEvent {
  bool start = false;
  std::uint32_t pid = 0;
  std::uint64_t timeNanos = 0;
  ProcessEventFields fields;
};

// Reads a small /proc file whole with one read; false when the process is gone.
bool readSmall(const char* path, std::string* content) {
  char buffer[4096];
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
  if (got <= 0) return false;
  content->assign(buffer, static_cast<std::size_t>(got));
  return true;
}

// What the status of a process tells: its real user, its parent and its command name.
struct StatusFacts {
  std::uint32_t uid = 0;
  std::uint32_t parent = 0;
  std::string command;
};

bool readStatus(std::uint32_t pid, StatusFacts* facts) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/status", pid);
  std::string status;
  std::string_view command;
  if (!readSmall(path, &status) || !parseStatusUid(status, &facts->uid) ||
      !parseStatusNumber(status, "PPid:", &facts->parent) ||
      !parseStatusText(status, "Name:", &command)) {
    return false;
  }
  facts->command = command;
  return true;
}

class Session {
 public:
  Session(std::uint64_t bufferBytes, std::uint32_t flushSeconds)
      : requestedBufferBytes_(bufferBytes), flushSeconds_(flushSeconds == 0 ? 1 : flushSeconds) {}
  ~Session() { stop(); }

  std::uint32_t start(bool listen);
  void stop();
  std::uint32_t consume(const TraceBufferCallback& bufferCallback,
                        const TraceEventCallback& eventCallback);
  bool claimConsumer() { return !consumed_.exchange(true); }
  void releaseConsumer() { consumed_.store(false); }

 private:
  bool subscribe();
  void receive();
  void handle(const ProcEvent& event, std::vector<QueuedEvent>* batch);
  void deliver(const QueuedEvent& queued, std::int64_t clockOffsetNanos,
               const TraceEventCallback& eventCallback);

  const std::uint64_t requestedBufferBytes_;
  const std::uint32_t flushSeconds_;
  UniqueFd socket_;
  UniqueFd stopSignal_;
  UniqueFd queueSignal_;
  std::thread receiver_;
  std::atomic<bool> consumed_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<std::uint64_t> bufferBytes_{0};
  std::atomic<std::uint64_t> overflows_{0};
  std::atomic<std::uint64_t> lost_{0};
  ProcEventTracker tracker_;  // the receiver's own
  bool wide_ = runsOn64BitSystem();
  Mutex queueMutex_;
  std::deque<QueuedEvent> queue_ GUARDED_BY(queueMutex_);
};

std::uint32_t Session::start(bool listen) {
  stopSignal_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  queueSignal_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stopSignal_.valid() || !queueSignal_.valid()) return win32FromErrno(errno);
  if (listen) {
    socket_ = UniqueFd(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
    if (!socket_.valid() || !subscribe()) {
      std::uint32_t error = win32FromErrno(errno);
      socket_.reset();
      return error;
    }
  }
  receiver_ = std::thread([this] { receive(); });
  return kErrorSuccess;
}

bool Session::subscribe() {
  // The privileged call grants the whole request; without the right the system's limit.
  int bytes = static_cast<int>(std::min<std::uint64_t>(requestedBufferBytes_, INT32_MAX / 2));
  if (::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  int granted = 0;
  socklen_t size = sizeof granted;
  ::getsockopt(socket_.get(), SOL_SOCKET, SO_RCVBUF, &granted, &size);
  bufferBytes_.store(static_cast<std::uint64_t>(granted));
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  if (::bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return false;
  }
  // A netlink header, a connector header, and the operation.
  alignas(nlmsghdr) std::uint8_t request[NLMSG_LENGTH(sizeof(cn_msg) + sizeof(proc_cn_mcast_op))] = {};
  auto* header = reinterpret_cast<nlmsghdr*>(request);
  header->nlmsg_len = sizeof request;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = static_cast<std::uint32_t>(::getpid());
  auto* connector = reinterpret_cast<cn_msg*>(NLMSG_DATA(header));
  connector->id = {CN_IDX_PROC, CN_VAL_PROC};
  connector->len = sizeof(proc_cn_mcast_op);
  proc_cn_mcast_op op = PROC_CN_MCAST_LISTEN;
  std::memcpy(connector->data, &op, sizeof op);
  return ::send(socket_.get(), request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
}

void Session::receive() {
  std::uint8_t buffers[kBatch][kDatagramBytes];
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  std::vector<QueuedEvent> batch;
  while (!stopped_.load()) {
    pollfd waits[2] = {{stopSignal_.get(), POLLIN, 0}, {socket_.get(), POLLIN, 0}};
    if (::poll(waits, socket_.valid() ? 2 : 1, -1) < 0 && errno != EINTR) break;
    if (stopped_.load() || !socket_.valid()) continue;
    for (std::size_t i = 0; i < kBatch; ++i) {
      vectors[i] = {buffers[i], kDatagramBytes};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got = ::recvmmsg(socket_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
    if (got < 0) {
      // The socket overflowed: the sequence gaps tell how many events went.
      if (errno == ENOBUFS) overflows_.fetch_add(1);
      continue;
    }
    for (int i = 0; i < got; ++i) {
      ProcEvent event;
      if (parseProcEvent(buffers[i], messages[i].msg_len, &event)) handle(event, &batch);
    }
    lost_.store(tracker_.lost());
    if (batch.empty()) continue;
    {
      MutexLock lock(&queueMutex_);
      for (QueuedEvent& queued : batch) queue_.push_back(std::move(queued));
    }
    batch.clear();
    std::uint64_t one = 1;
    (void)!::write(queueSignal_.get(), &one, sizeof one);
  }
}

void Session::handle(const ProcEvent& event, std::vector<QueuedEvent>* batch) {
  ProcChange change = tracker_.handle(event);
  if (change.kind == ProcChange::kNothing) return;
  QueuedEvent queued;
  queued.start = change.kind == ProcChange::kStart;
  queued.pid = change.pid;
  queued.timeNanos = event.timeNanos;
  queued.fields.pid = change.pid;
  if (!queued.start) {
    queued.fields.exitStatus = change.exitStatus;
    batch->push_back(std::move(queued));
    return;
  }
  // Read now: a short-lived process is gone by the time anyone else would look. An ended
  // one that waits for its parent still tells its user and command name.
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/exe", change.pid);
  char target[4096];
  ssize_t length = ::readlink(path, target, sizeof target);
  StatusFacts facts;
  bool status = readStatus(change.pid, &facts);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
    queued.fields.image = withoutDeletedSuffix(std::string(target, static_cast<std::size_t>(length)));
  } else {
    // The kernel's name for it, never its parent's.
    queued.fields.image = facts.command;
  }
  if (status) {
    queued.fields.uid = facts.uid;
  } else if (change.realUid) {
    queued.fields.uid = change.realUid;
  } else if (StatusFacts parent; change.parentPid != 0 && readStatus(change.parentPid, &parent)) {
    // Gone already: a child runs as its parent unless it changed users, which would have
    // told its new user.
    queued.fields.uid = parent.uid;
  }
  queued.fields.parentPid = change.parentPid != 0 ? change.parentPid : facts.parent;
  batch->push_back(std::move(queued));
}

void Session::deliver(const QueuedEvent& queued, std::int64_t clockOffsetNanos,
                      const TraceEventCallback& eventCallback) {
  std::vector<std::uint8_t> data = processEventData(queued.fields, {2, wide_});
  EventTrace event;
  event.size = static_cast<std::uint16_t>(std::min<std::size_t>(0xffff, 48 + data.size()));
  event.type = queued.start ? kTraceTypeStart : kTraceTypeEnd;
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
    auto flushPeriod = std::chrono::seconds(flushSeconds_);
    auto lastBuffer = std::chrono::steady_clock::now();
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
      auto now = std::chrono::steady_clock::now();
      bool stopped = stopped_.load();
      if (!events.empty() || now - lastBuffer >= flushPeriod || stopped) {
        lastBuffer = now;
        TraceLogFile logFile{lost_.load(), overflows_.load(), bufferBytes_.load()};
        if (!bufferCallback(logFile)) return kErrorCancelled;
      }
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
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                guid.data1, guid.data2, guid.data3, guid.data4[0], guid.data4[1], guid.data4[2],
                guid.data4[3], guid.data4[4], guid.data4[5], guid.data4[6], guid.data4[7]);
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
  auto session = std::make_shared<Session>(bufferBytes == 0 ? kDefaultBufferBytes : bufferBytes,
                                           readWord(properties, kTraceFlushTimerAt));
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
  UniqueFd probe(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
  if (!probe.valid()) return failWith(errno);
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    return failWith(errno);
  }
  return true;
}

bool runsOn64BitSystem() {
  utsname names{};
  if (::uname(&names) != 0) return sizeof(void*) == 8;
  std::string machine = names.machine;
  return machine.find("64") != std::string::npos || machine.starts_with("s390x");
}

}  // namespace Vantor::platform
