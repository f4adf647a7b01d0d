#include "platform/posix/ProcessEventStream.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/ErrorCodes.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

constexpr std::size_t kQueueWakeSize = 1024;
// The receiver reads the kernel's events in batches this far apart: the socket holds them.
constexpr int kReceiverPauseMillis = 10;
constexpr int kEndRecheckMillis = 50;
// The system tells waiters that a process's last thread has gone a moment before that thread's
// exit event is sent: an end is queued only once it has been seen ended this long, so the
// event has come and the end carries the last thread's time and status.
constexpr std::uint64_t kEndSettleNanos = 50'000'000;
constexpr std::uint64_t kLongestEndCheckNanos = 2'000'000'000;
// Readings whose event the receiver never saw (it lost them) are dropped beyond this many.
constexpr std::size_t kMostReadings = 4096;
// Processes waiting for their end are checked at once beyond this many, between two reads of
// the socket, so that a backlog of ends after a stall is kept whole and still costs little.
constexpr std::size_t kEndingsCheckedAt = 4096;

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

}  // namespace

std::uint32_t ProcessEventStream::start(bool listen) {
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

bool ProcessEventStream::waitFor(int fd, int timeoutMillis) {
  pollfd waits[2] = {{stopSignal_.get(), POLLIN, 0}, {fd, POLLIN, 0}};
  ::poll(waits, fd >= 0 ? 2 : 1, timeoutMillis);
  return !stopped_.load();
}

void ProcessEventStream::name() {
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

void ProcessEventStream::receive() {
  ::pthread_setname_np(::pthread_self(), "trace-receiver");
  std::vector<ProcEvent> events;
  std::vector<StreamedEvent> batch;
  // A process whose last thread has ended may not show as ended at once: while any waits, the
  // receiver looks again without waiting for another event.
  while (waitFor(events_.isOpen() ? events_.fd() : -1, endings_.empty() ? -1 : kEndRecheckMillis)) {
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
      if (endings_.size() >= endingsCheckedAt_) {
        endProcesses(&batch);
        // Those that remain run on: looked at again when as many more have come.
        endingsCheckedAt_ = endings_.size() + kEndingsCheckedAt;
      }
    }
    endProcesses(&batch);
    endingsCheckedAt_ = endings_.size() + kEndingsCheckedAt;
    lost_.store(tracker_.lost());
    if (!batch.empty()) {
      bool full = false;
      {
        MutexLock lock(&queueMutex_);
        for (StreamedEvent& queued : batch) queue_.push_back(std::move(queued));
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

StartFacts ProcessEventStream::takeReading(const ProcEvent& event, const ProcChange& change) {
  std::optional<StartFacts> facts;
  {
    MutexLock lock(&readingsMutex_);
    handledSequence_[event.cpu] = event.sequence;
    auto reading = readings_.find(sequenceKey(event));
    if (reading != readings_.end()) {
      facts = std::move(reading->second);
      readings_.erase(reading);
    }
  }
  if (!facts) return readStart(change);
  // The namer read the process knowing nothing of its forks and user changes.
  completeStart(change, &*facts);
  return *std::move(facts);
}

void ProcessEventStream::handle(const ProcEvent& event, std::vector<StreamedEvent>* batch) {
  // A new process with the pid of one whose end waits: that one has ended for certain, and its
  // end goes first, before the start that would otherwise take it for a thread's exec.
  if (event.what == static_cast<std::uint32_t>(ProcEventKind::kFork) && event.pid == event.tgid) {
    if (auto ending = endings_.find(event.tgid); ending != endings_.end()) {
      queueEnd(ending, batch);
    }
  }
  ProcChange change = tracker_.handle(event);
  switch (change.kind) {
    case ProcChange::kNothing:
      return;
    case ProcChange::kEnd:
    case ProcChange::kForkedEnd:
      // Ended only once every thread has: queued when the batch is done (see endProcesses).
      // Never dropped: one entry a process, and the kernel has no more processes than pids.
      endings_[change.pid] = {
          change.kind == ProcChange::kForkedEnd ? kTraceTypeEndOfUnstarted : kTraceTypeEnd,
          change.exitStatus, event.timeNanos};
      return;
    case ProcChange::kThreadEnd:
      // The last thread to end tells the status the process ends with.
      if (auto ending = endings_.find(change.pid); ending != endings_.end()) {
        ending->second.exitStatus = change.exitStatus;
        ending->second.timeNanos = event.timeNanos;
        // This may be the last thread: the process is looked at again at once.
        ending->second.seenEndedAt = 0;
        ending->second.checkAt = 0;
        ending->second.checkPause = 0;
      }
      return;
    case ProcChange::kStart:
      // A thread that starts a program ends the first one: the process runs on.
      endings_.erase(change.pid);
      break;
  }
  StreamedEvent queued;
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

void ProcessEventStream::endProcesses(std::vector<StreamedEvent>* batch) {
  std::uint64_t now = monotonicNanos();
  for (auto ending = endings_.begin(); ending != endings_.end();) {
    Ending& waiting = ending->second;
    if (waiting.seenEndedAt == 0 && now >= waiting.checkAt) {
      if (processEnded(ending->first)) {
        waiting.seenEndedAt = now;
      } else {
        // Its other threads run on, perhaps for long: each look waits twice as long as the
        // last, so that processes kept in that state cost next to nothing. The exit of any of
        // its threads brings the next look forward.
        waiting.checkPause = std::clamp<std::uint64_t>(waiting.checkPause * 2, kEndSettleNanos,
                                                       kLongestEndCheckNanos);
        waiting.checkAt = now + waiting.checkPause;
      }
    }
    if (waiting.seenEndedAt == 0 || now - waiting.seenEndedAt < kEndSettleNanos) {
      ++ending;
      continue;
    }
    ending = queueEnd(ending, batch);
  }
}

ProcessEventStream::Endings::iterator ProcessEventStream::queueEnd(Endings::iterator ending,
                                                                   std::vector<StreamedEvent>* batch) {
  StreamedEvent queued;
  queued.type = ending->second.type;
  queued.pid = ending->first;
  queued.timeNanos = ending->second.timeNanos;
  queued.fields.pid = ending->first;
  queued.fields.exitStatus = ending->second.exitStatus;
  batch->push_back(std::move(queued));
  return endings_.erase(ending);
}

void ProcessEventStream::stop() {
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

std::deque<StreamedEvent> ProcessEventStream::take(int waitMillis) {
  pollfd wait = {queueSignal_.get(), POLLIN, 0};
  ::poll(&wait, 1, waitMillis);
  std::uint64_t signals;
  (void)!::read(queueSignal_.get(), &signals, sizeof signals);
  std::deque<StreamedEvent> events;
  MutexLock lock(&queueMutex_);
  events.swap(queue_);
  return events;
}

std::uint64_t monotonicNanos() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::int64_t monotonicToUnixNanos() {
  timespec real{};
  timespec monotonic{};
  ::clock_gettime(CLOCK_REALTIME, &real);
  ::clock_gettime(CLOCK_MONOTONIC, &monotonic);
  return (real.tv_sec - monotonic.tv_sec) * 1000000000LL + (real.tv_nsec - monotonic.tv_nsec);
}

}  // namespace Vantor::platform
