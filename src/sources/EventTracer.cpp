#include "sources/EventTracer.h"

#include <new>
#include <utility>

#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "platform/Env.h"
#include "platform/ProcessTable.h"
#include "platform/ThreadCancellation.h"
#include "sources/PeriodicWorker.h"

namespace Vantor {

namespace {
// Account names may change: what was looked up is forgotten this often.
constexpr auto kAccountsLifetime = std::chrono::seconds(60);
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000;

// Now, as event times give it: 100 ns since 1601.
std::int64_t fileTimeNow() {
  auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100 +
         kFileTimeUnixEpoch;
}
}  // namespace

EventTracer::EventTracer(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap,
                         ProcessPoller& poller)
    : env_(env),
      logger_(logger),
      processMap_(processMap),
      poller_(poller),
      decoder_(env, env.eventClasses(), logger, env.kernelTrace().runsOn64BitSystem()) {}

EventTracer::~EventTracer() = default;

bool EventTracer::prepare(ThreadTable& threads) {
  // No heartbeat: the worker stays inside the session's consumer.
  ThreadEntry* row = prepareWorker(threads, logger_, "EventTracer", 0,
                                   [this](ThreadEntry& entry) { return eventTracerThread(entry); });
  if (row != nullptr) row->stopGrace = kStopDrainLimit + std::chrono::seconds(2);
  return row != nullptr;
}

std::uint32_t EventTracer::eventTracerThread(ThreadEntry& row) {
  logger_.debug(1, "START THREAD %s.", row.name);
  logger_.debug(1, "Trying to start Native event tracer...");
  try {
    if (!tracer_) {
      try {
        tracer_ = std::make_unique<KernelTracer>(env_.kernelTrace(), logger_, bufferKilobytes_);
      } catch (const std::bad_alloc&) {
        logger_.critical(21, "event tracer");
        logger_.debug(1, "END THREAD %s", row.name);
        return 0;
      }
      if (quitFlag.load()) return static_cast<std::uint32_t>(-1);
    }
    tracer_->setBufferCallback(
        [this](const platform::TraceLogFile& logFile) { return bufferCallback(logFile); });
    tracer_->setEventCallback(
        [this](const platform::EventTrace& record) { processCallback(record); });
    runningSince_.store(env_.processStartStampNow());
    logger_.debug(1, "Native event tracer is now running.");
    draining_ = false;
    stopRequested_ = false;
    undelivered_ = 0;
    running_.store(true);
    tracer_->consume();
    running_.store(false);
    if (undelivered_ > 0) logger_.warning(38, static_cast<std::int64_t>(undelivered_));
    // Asked to stop for a reconfiguration, the session stays and keeps what comes meanwhile
    // for the next worker.
    if (quitFlag.load()) tracer_.reset();
  } catch (const platform::ThreadCancellation&) {
    running_.store(false);
    throw;
  } catch (...) {
    running_.store(false);
    logger_.error(17);
  }
  logger_.debug(1, "END THREAD %s", row.name);
  return 0;
}

bool EventTracer::bufferCallback(const platform::TraceLogFile& logFile) {
  // The supervision asks a worker without heartbeat to stop with a message.
  ThreadMessage message;
  while (ThreadMessages::take(&message, std::chrono::milliseconds(0))) {
    if (message.message == kMessageDestroy) stopRequested_ = true;
  }
  if (logFile.bufferBytes != reportedBufferBytes_) {
    reportedBufferBytes_ = logFile.bufferBytes;
    logger_.debug(1, "Kernel trace session: the receive buffer holds %i bytes.",
                  static_cast<std::int64_t>(logFile.bufferBytes));
  }
  if (logFile.eventsLost > reportedLost_ || logFile.buffersLost > reportedOverflows_) {
    std::uint64_t lostNow = logFile.eventsLost - std::min(reportedLost_, logFile.eventsLost);
    reportedLost_ = logFile.eventsLost;
    eventsLost_.fetch_add(lostNow);
    reportedOverflows_ = logFile.buffersLost;
    logger_.warning(33, static_cast<std::int64_t>(lostNow),
                    static_cast<std::int64_t>(logFile.eventsLost),
                    static_cast<std::int64_t>(logFile.buffersLost));
    poller_.requestFullPoll();
  }
  auto now = std::chrono::steady_clock::now();
  if (now - accountsLearnt_ > kAccountsLifetime) {
    accountsLearnt_ = now;
    decoder_.forgetAccounts();
  }
  if (!quitFlag.load() && !stopRequested_) return true;
  // The events that came before the stop are handed over, so the last processes to end before
  // it are recorded: buffers are taken until they hold none from before it (the first two
  // may hold only some of them), or the time for it has run out.
  if (!draining_) {
    draining_ = true;
    drainDeadline_ = now + kStopDrainLimit;
    stopStamp_ = fileTimeNow();
    buffersSinceStop_ = 0;
    eventsBeforeStop_ = true;
  }
  bool more = (eventsBeforeStop_ || ++buffersSinceStop_ < 2) && now < drainDeadline_;
  eventsBeforeStop_ = false;
  return more;
}

void EventTracer::processCallback(const platform::EventTrace& record) {
  if (draining_) {
    if (record.timeStamp <= stopStamp_) eventsBeforeStop_ = true;
    if (std::chrono::steady_clock::now() >= drainDeadline_) {
      ++undelivered_;
      return;
    }
  }
  logger_.debug(4, "Native event tracer callback: Processing...");
  logger_.debug(5, "   InstanceId=%i  ParentInstanceId=%i  MofLength=%i  ProcessId=%i",
                record.instanceId, record.parentInstanceId, record.mofLength, record.processId);
  try {
    ProcessRef process;
    try {
      process = std::make_shared<Process>(env_, decoder_.decode(record));
    } catch (const std::bad_alloc&) {
      logger_.debug(1, "   Failed to create process object.");
      return;
    }
    processMap_.logProcess(process);
    logger_.debug(4, "Native event tracer callback: Finished processing.");
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger_.error(32, "processCallback");
  }
}

}  // namespace Vantor
