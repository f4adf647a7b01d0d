// vantor-procdrv: the suite's process-event driver for Linux. It learns of every program
// started and every process ended from its eBPF program in the kernel, or else from the
// kernel's process connector, queues one 24-byte record for each, serves the version, event,
// facts and batch requests on the device socket, and sets the "LicDrvProcessEvent" event when
// records wait. It runs in the foreground until SIGTERM or SIGINT.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/posix/ConnectorSocket.h"
#include "platform/posix/ProcessEventStream.h"
#include "platform/posix/RuntimeDirectory.h"
#include "procdrv/BpfFeed.h"
#include "procdrv/DeviceServer.h"
#include "procdrv/EventFeed.h"
#include "procdrv/RecordQueue.h"
#include "sources/DriverProtocol.h"

namespace Vantor::procdrv {
namespace {

constexpr std::size_t kDefaultQueueSize = 65536;
constexpr std::size_t kLeastQueueSize = 16;
constexpr std::size_t kMostQueueSize = 1 << 22;
constexpr auto kDropReportPeriod = std::chrono::seconds(10);

const char kUsage[] =
    "Usage: vantor-procdrv [--source bpf|connector] [--ring-size BYTES] [--queue-size RECORDS]\n"
    "                      [--verbose]\n"
    "\n"
    "Serves process starts and ends to the metering agent, as the suite's process-event\n"
    "driver: the device \"VantorLicDrv\" and the event \"LicDrvProcessEvent\" in the runtime\n"
    "directory ($VANTOR_RUNTIME_DIR, else /run/vantor for root). The events come from its eBPF\n"
    "program (root, or CAP_BPF with CAP_PERFMON, and a kernel with BTF), else from the kernel's\n"
    "process connector (root, or CAP_NET_ADMIN). Runs until SIGTERM or SIGINT.\n"
    "\n"
    "  --source bpf|connector  take the events from there only, or not start\n"
    "  --ring-size BYTES     the eBPF program's ring buffer: a power of two from 8192\n"
    "                        (default 8388608); what does not fit is counted as lost\n"
    "  --queue-size RECORDS  records kept for the agent before new ones are dropped\n"
    "                        (default 65536; the agent is told how many it missed)\n"
    "  --verbose             log every client, every request refused, and the eBPF loader\n"
    "  --help                show this text\n";

enum class Source { kAny, kBpf, kConnector };

struct Options {
  Source source = Source::kAny;
  std::size_t ringBytes = BpfFeed::kDefaultRingBytes;
  std::size_t queueSize = kDefaultQueueSize;
  bool verbose = false;
};

[[gnu::format(printf, 1, 2)]] void say(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::fprintf(stderr, "vantor-procdrv: ");
  std::vfprintf(stderr, format, arguments);
  std::fputc('\n', stderr);
  va_end(arguments);
}

// 0: go on; otherwise the exit status.
int parseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (argument == "--verbose") {
      options->verbose = true;
    } else if (argument == "--source" && i + 1 < argc) {
      std::string source = argv[++i];
      if (source != "bpf" && source != "connector") {
        say("--source takes bpf or connector.");
        return 2;
      }
      options->source = source == "bpf" ? Source::kBpf : Source::kConnector;
    } else if (argument == "--ring-size" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long long size = std::strtoull(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || size < BpfFeed::kLeastRingBytes ||
          size > BpfFeed::kMostRingBytes || (size & (size - 1)) != 0) {
        say("--ring-size takes a power of two from %zu to %zu bytes.", BpfFeed::kLeastRingBytes,
            BpfFeed::kMostRingBytes);
        return 2;
      }
      options->ringBytes = static_cast<std::size_t>(size);
    } else if (argument == "--queue-size" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long long size = std::strtoull(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || size < kLeastQueueSize || size > kMostQueueSize) {
        say("--queue-size takes a number of records from %zu to %zu.", kLeastQueueSize,
            kMostQueueSize);
        return 2;
      }
      options->queueSize = static_cast<std::size_t>(size);
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  return 0;
}

std::uint64_t recordTimeNow() {
  return driverTimeOfUnixNanos(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// One driver record, and the facts the agent may ask for, of each event of the stream since
// the monotonic moment since; whether any was queued.
bool queueEvents(std::deque<platform::StreamedEvent>& events, std::uint64_t since,
                 RecordQueue& queue) {
  std::int64_t offset = platform::monotonicToUnixNanos();
  bool queued = false;
  for (platform::StreamedEvent& event : events) {
    if (event.timeNanos < since) continue;
    queued = true;
    DriverRecord record;
    DriverFacts facts;
    record.pid = event.pid;
    record.parentPid = event.fields.parentPid;
    record.time = driverTimeOfUnixNanos(static_cast<std::int64_t>(event.timeNanos) + offset);
    facts.startStamp = event.startStamp;
    facts.startNanos = event.startNanos;
    if (event.type == platform::kTraceTypeStart) {
      record.created = static_cast<std::uint32_t>(DriverRecordKind::kCreated);
      facts.image = std::move(event.fields.image);
      if (event.fields.uid) facts.sid = "S-1-22-1-" + std::to_string(*event.fields.uid);
    } else {
      record.created = static_cast<std::uint32_t>(DriverRecordKind::kEnded);
      record.exitStatus = static_cast<std::uint32_t>(event.fields.exitStatus);
      facts.exitStatus = event.fields.exitStatus;
      facts.startUnseen = event.type == platform::kTraceTypeEndOfUnstarted;
    }
    queue.push(record, std::move(facts));
  }
  return queued;
}

class Driver {
 public:
  Driver(platform::Env& env, const Options& options)
      : env_(env), options_(options), queue_(options.queueSize) {}

  int run();

 private:
  bool takeInstanceLock(const std::string& directory);
  // The eBPF program where it may, else the connector, as --source allows; false when none.
  bool openFeed();
  void feed();
  DeviceAnswer answer(std::uint32_t code, const std::vector<std::uint8_t>& input,
                      std::uint32_t capacity);
  void reportDrops();

  platform::Env& env_;
  const Options options_;
  RecordQueue queue_;
  // Made before the feeder starts; the feeder's alone while it runs.
  std::unique_ptr<EventFeed> feed_;
  DeviceServer server_;
  // When the client connected, on the monotonic clock; 0 while none is.
  std::atomic<std::uint64_t> connectedSince_{0};
  std::atomic<bool> stopping_{false};
  // Made before the feeder starts, which alone sets it; gone after it has ended.
  std::unique_ptr<platform::NamedEvent> event_;
  std::uint64_t reportedDrops_ = 0;  // the feeder's own
  std::chrono::steady_clock::time_point dropsReported_;
};

bool Driver::takeInstanceLock(const std::string& directory) {
  std::string path = directory + kDriverDeviceName + ".lock";
  // Kept open, and so locked, until the driver exits.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    say("cannot open the lock %s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    say("another vantor-procdrv serves %s already.", directory.c_str());
    ::close(fd);
    return false;
  }
  return true;
}

void Driver::feed() {
  std::uint64_t lostSeen = 0;
  std::uint64_t signalledDrops = 0;
  while (!stopping_.load()) {
    std::deque<platform::StreamedEvent> events = feed_->take(feed_->batchMillis());
    std::uint64_t lost = std::exchange(lostSeen, feed_->lost());
    // Nobody reads: nothing is kept for a reader yet to come, which polls what runs; nor what
    // happened before it came.
    std::uint64_t since = connectedSince_.load();
    if (since == 0) continue;
    if (lostSeen > lost) queue_.countLost(lostSeen - lost);
    bool queued = queueEvents(events, since, queue_);
    // A drop is told by a record of its own, so it is signalled like one, once.
    std::uint64_t dropped = queue_.dropped();
    if (queued || dropped > signalledDrops) {
      // Through the event's own descriptor: whatever has been put under its name since.
      event_->set();
      signalledDrops = dropped;
    }
    reportDrops();
  }
}

bool Driver::openFeed() {
  std::string refusal;
  if (options_.source != Source::kConnector) {
    std::unique_ptr<BpfFeed> bpf = BpfFeed::open(options_.ringBytes, options_.verbose, &refusal);
    if (bpf) {
      say("events from the kernel's eBPF program; its ring buffer holds %zu bytes.",
          options_.ringBytes);
      feed_ = std::move(bpf);
      return true;
    }
    if (options_.source == Source::kBpf) {
      say("cannot load the eBPF program: %s.", refusal.c_str());
      return false;
    }
  }
  std::string noBpf = refusal.empty() ? "" : "; no eBPF either, as " + refusal;
  if (!platform::ConnectorSocket::bindable()) {
    say("cannot listen to the kernel's process events (%s): run it as root%s.",
        std::strerror(errno), noBpf.c_str());
    return false;
  }
  auto connector = std::make_unique<ConnectorFeed>();
  if (std::uint32_t error = connector->start()) {
    say("cannot listen to the kernel's process events (error %u)%s.", error, noBpf.c_str());
    return false;
  }
  if (refusal.empty()) {
    say("events from the kernel's process connector.");
  } else {
    say("events from the kernel's process connector: no eBPF, as %s.", refusal.c_str());
  }
  feed_ = std::move(connector);
  return true;
}

void Driver::reportDrops() {
  std::uint64_t dropped = queue_.dropped();
  auto now = std::chrono::steady_clock::now();
  if (dropped == reportedDrops_ || now - dropsReported_ < kDropReportPeriod) return;
  say("the queue was full: %llu records dropped (%llu in all); the agent is told.",
      static_cast<unsigned long long>(dropped - reportedDrops_),
      static_cast<unsigned long long>(dropped));
  reportedDrops_ = dropped;
  dropsReported_ = now;
}

DeviceAnswer Driver::answer(std::uint32_t code, const std::vector<std::uint8_t>& input,
                            std::uint32_t capacity) {
  DeviceAnswer answer;
  // Too little room is refused before a record leaves the queue, so none is lost to it.
  std::uint32_t needed = code == kDriverVersionRequest ? 4
                         : code == kDriverEventRequest ? kDriverRecordSize
                         : code == kDriverFactsRequest ? kMaxDriverFacts
                         : code == kDriverBatchRequest ? kLeastDriverBatch
                                                       : 0;
  if (capacity < needed) {
    answer.error = platform::kErrorInsufficientBuffer;
    return answer;
  }
  switch (code) {
    case kDriverVersionRequest:
      platform::appendLittleEndian(answer.bytes, kDriverVersion, 4);
      return answer;
    case kDriverEventRequest:
      if (std::optional<DriverRecord> record = queue_.take(recordTimeNow())) {
        answer.bytes = encodeDriverRecord(*record);
      }
      return answer;
    case kDriverBatchRequest:
      answer.bytes = queue_.takeBatch(recordTimeNow(), capacity);
      return answer;
    case kDriverFactsRequest:
      if (std::optional<DriverRecord> record = decodeDriverRecord(input)) {
        answer.bytes = encodeDriverFacts(queue_.factsOf(*record));
      } else {
        answer.error = platform::kErrorInvalidParameter;
      }
      return answer;
    default:
      if (options_.verbose) say("refused the unknown request 0x%08X.", code);
      answer.error = platform::kErrorInvalidFunction;
      return answer;
  }
}

int Driver::run() {
  sigset_t stopSignals;
  ::sigemptyset(&stopSignals);
  ::sigaddset(&stopSignals, SIGTERM);
  ::sigaddset(&stopSignals, SIGINT);
  // Blocked before any thread starts, so only the signal descriptor receives them.
  ::pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  int signals = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
  std::optional<std::string> directory = platform::runtimeDirectory("device");
  if (!directory) {
    std::string refusal = env_.namedObjectsRefusal();
    say("no runtime directory: %s", refusal.empty() ? "it cannot be made." : refusal.c_str());
    return 1;
  }
  if (!takeInstanceLock(*directory)) return 1;
  if (!openFeed()) return 1;
  platform::Expected<std::unique_ptr<platform::NamedEvent>> made =
      env_.createEvent(kDriverProcessEventName, platform::NamedEvent::Reset::kAutomatic,
                       platform::NamedEvent::Users::kThisUser);
  if (!made) {
    say("cannot make the event %s (error %u).", kDriverProcessEventName, made.error());
    return 1;
  }
  event_ = std::move(made.value());
  std::string device = *directory + kDriverDeviceName;
  if (!server_.listen(device)) {
    say("cannot serve %s: %s", device.c_str(), std::strerror(errno));
    return 1;
  }
  say("serving %s; up to %zu records are queued.", device.c_str(), options_.queueSize);
  // A service manager starts the agent once the device serves, so that it finds the driver.
  env_.serviceManager().notify("READY=1\nSTATUS=serving from " + std::string(feed_->name()));
  std::thread feeder([this] { feed(); });
  while (true) {
    pollfd waits[3] = {
        {signals, POLLIN, 0}, {server_.listenerFd(), POLLIN, 0}, {server_.clientFd(), POLLIN, 0}};
    if (::poll(waits, server_.clientFd() >= 0 ? 3 : 2, -1) < 0 && errno != EINTR) break;
    if (waits[0].revents != 0) break;
    DeviceServer::Arrival arrival =
        waits[1].revents != 0 ? server_.acceptClient() : DeviceServer::Arrival::kNone;
    if (arrival == DeviceServer::Arrival::kNewClient) {
      queue_.clear();
      connectedSince_.store(platform::monotonicNanos());
      if (options_.verbose) say("a client connected.");
    } else if (arrival == DeviceServer::Arrival::kRefused && options_.verbose) {
      say("refused a client: another is served, or it is another user's.");
    }
    if (waits[2].revents != 0 &&
        !server_.serveRequest(
            [this](std::uint32_t code, const std::vector<std::uint8_t>& input,
                   std::uint32_t capacity) { return answer(code, input, capacity); })) {
      connectedSince_.store(0);
      if (std::size_t discarded = queue_.clear()) {
        say("the client went with %zu records unread; they are discarded.", discarded);
      } else if (options_.verbose) {
        say("the client went.");
      }
    }
  }
  env_.serviceManager().notify("STOPPING=1");
  stopping_.store(true);
  feeder.join();
  std::string tally = feed_->finish();
  if (!tally.empty()) say("%s", tally.c_str());
  // Unloads the eBPF program, or leaves the connector.
  feed_.reset();
  // An event left behind would pass for a driver that runs.
  event_.reset();
  if (std::optional<std::string> events = platform::runtimeDirectory("event")) {
    ::unlink((*events + kDriverProcessEventName).c_str());
  }
  say("ended: %llu records handed out, %llu dropped, %llu lost in the kernel, %llu discarded "
      "unread.",
      static_cast<unsigned long long>(queue_.handedOut()),
      static_cast<unsigned long long>(queue_.dropped()),
      static_cast<unsigned long long>(queue_.lostInKernel()),
      static_cast<unsigned long long>(queue_.discarded()));
  return 0;
}

}  // namespace
}  // namespace Vantor::procdrv

int main(int argc, char** argv) {
  Vantor::procdrv::Options options;
  if (int status = Vantor::procdrv::parseOptions(argc, argv, &options)) {
    return status < 0 ? 0 : status;
  }
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  return Vantor::procdrv::Driver(*env, options).run();
}
