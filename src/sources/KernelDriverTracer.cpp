#include "sources/KernelDriverTracer.h"

#include <new>

#include "concurrency/ErrorName.h"
#include "concurrency/ProcessFlags.h"
#include "platform/Clock.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/LittleEndian.h"
#include "platform/ProcessTable.h"
#include "platform/ThreadCancellation.h"
#include "sources/PeriodicWorker.h"
#include "sources/PollSchedule.h"
#include "usage/LogFile.h"

namespace Vantor {

namespace {
constexpr std::int32_t kStatusLogSeconds = 10;
constexpr auto kIdlePause = std::chrono::milliseconds(25);
constexpr auto kWaitTimeout = std::chrono::milliseconds(100);
// Account names may change: what was looked up is forgotten this often.
constexpr auto kAccountsLifetime = std::chrono::seconds(60);
constexpr auto kLostReportPeriod = std::chrono::seconds(1);
}  // namespace

KernelDriverTracer::KernelDriverTracer(platform::Env& env, const LoggerUnit& logger,
                                       ProcessMap& processMap, ProcessPoller& poller)
    : env_(env), logger_(logger), processMap_(processMap), poller_(poller) {}

void KernelDriverTracer::dropDevice() {
  platform::MutexLock lock(&deviceMutex_);
  device_.reset();
}

std::shared_ptr<platform::Device> KernelDriverTracer::device() {
  platform::MutexLock lock(&deviceMutex_);
  return device_;
}

bool KernelDriverTracer::prepare(ThreadTable& threads, std::shared_ptr<platform::Device> device) {
  {
    platform::MutexLock lock(&deviceMutex_);
    device_ = std::move(device);
  }
  ThreadEntry* row =
      prepareWorker(threads, logger_, "KernelDriverTracer", TF_REPORTS,
                    [this](ThreadEntry& entry) { return kernelDriverTracerThread(entry); });
  if (row != nullptr) row->stopGrace = kStopDrainLimit + std::chrono::seconds(2);
  return row != nullptr;
}

std::uint32_t KernelDriverTracer::kernelDriverTracerThread(ThreadEntry& row) {
  logger_.debug(1, "START THREAD %s.", row.name);
  PollSchedule statusLog(env_.clock(), TimeSpan(kStatusLogSeconds));
  try {
    gaveUp_.store(false);
    Connection connection = connectToDriver(row);
    bool fatal = connection == Connection::kRefused;
    gaveUp_.store(fatal);
    // A driver that does not answer is looked for again, as one lost later.
    if (connection == Connection::kLost) loseDriver();
    bool errorStreak = false;
    bool drained = false;
    // Records a worker before this one left behind (it was stopped while they came) are
    // taken at once: their signal was spent.
    queueLeftOver_ = !fatal;
    while (!row.stopRequested()) {
      reportThreadStatus(row.report, fatal);
      if (statusLog.due()) logThreadStatus(logger_, row, fatal);
      if (!fatal && lost_ && !quitFlag.load()) {
        reconnect(row);
        continue;
      }
      if (fatal || quitFlag.load()) {
        if (!fatal && !std::exchange(drained, true)) drainBeforeStop();
        row.pause(kIdlePause);
        continue;
      }
      switch (waitForDriverEvents(row.report)) {
        case kReadFailed:
          // Twice in a row: the driver has gone (ended, or restarted).
          if (std::exchange(errorStreak, true)) loseDriver();
          break;
        case kWaitFailed:
          loseDriver();
          break;
        case kQuitSignalled:
          row.report.store(REPORT_STOP);
          break;
        case kNothingToReport:
          errorStreak = false;
          break;
      }
    }
    // The stop signal may come before the worker has seen the quit flag.
    if (!fatal && quitFlag.load() && !drained) drainBeforeStop();
  } catch (const platform::ThreadCancellation&) {
    running_.store(false);
    throw;
  } catch (...) {
    running_.store(false);
    logger_.debug(1, "ERROR while running kernelDriverTracer thread");
    throw;
  }
  running_.store(false);
  logger_.debug(1, "END THREAD %s", row.name);
  return 0;
}

void KernelDriverTracer::makeQuitEvent() {
  // Only this user may set it: no other user can stop the source.
  platform::Expected<std::unique_ptr<platform::NamedEvent>> made =
      env_.createEvent(kDriverQuitEventName, platform::NamedEvent::Reset::kManual,
                       platform::NamedEvent::Users::kThisUser);
  quitEvent_ = std::move(made.value());
  if (!made) {
    logger_.debug(1,
                  "   The quit event could not be made (error %i); only the agent stops "
                  "this source.",
                  made.error());
  }
}

void KernelDriverTracer::loseDriver() {
  lost_ = true;
  driverLost_.store(true);
  {
    platform::MutexLock lock(&deviceMutex_);
    device_.reset();
  }
  processEvent_.reset();
  logger_.error(36, static_cast<std::int64_t>(kLostPollPause.count()),
                static_cast<std::int64_t>(kReconnectPause.count()));
  nextReconnect_ = std::chrono::steady_clock::now();
  nextLostPoll_ = nextReconnect_;
}

void KernelDriverTracer::reconnect(ThreadEntry& row) {
  auto now = std::chrono::steady_clock::now();
  if (now < nextReconnect_) {
    row.pause(std::chrono::duration_cast<std::chrono::milliseconds>(nextReconnect_ - now));
    return;
  }
  nextReconnect_ = now + kReconnectPause;
  if (!reachDriver()) {
    // The processes that start and end while no driver tells are found by polls. Each is
    // bounded by its request: one still under way when the driver comes back must leave what
    // starts after that to the driver.
    if (now >= nextLostPoll_) {
      nextLostPoll_ = now + kLostPollPause;
      poller_.requestFullPoll({env_.processStartStampNow(), DateTime()});
    }
    return;
  }
  lost_ = false;
  driverLost_.store(false);
  factsUnsupported_ = false;
  batchUnsupported_ = false;
  queueLeftOver_ = true;
  if (!running_.load()) {
    // Lost from the start: what connecting would have made.
    makeQuitEvent();
    runningSince_.store(env_.processStartStampNow());
    running_.store(true);
  }
  logger_.notice(37);
  // A repair for the gap: what started unseen is found, what ended unseen is ended. What
  // starts from now on is the driver's to tell, ends included: a whole poll still asked for
  // would end those too, and this one does all it would.
  poller_.takeFullPollRequest();
  poller_.requestFullPoll({env_.processStartStampNow(), DateTime()});
}

bool KernelDriverTracer::reachDriver() {
  platform::Expected<std::unique_ptr<platform::Device>> opened = env_.openDevice(kDriverDeviceName);
  if (!opened) return false;
  {
    platform::MutexLock lock(&deviceMutex_);
    device_ = std::move(opened.value());
  }
  std::vector<std::uint8_t> answer;
  processEvent_ = std::move(
      env_.openEvent(kDriverProcessEventName, platform::NamedEvent::Reset::kAutomatic).value());
  if (!processEvent_ || !request(kDriverVersionRequest, {}, 4, &answer) || answer.size() != 4 ||
      platform::getLittleEndian(answer.data(), 4) != kDriverVersion) {
    processEvent_.reset();
    platform::MutexLock lock(&deviceMutex_);
    device_.reset();
    return false;
  }
  return true;
}

void KernelDriverTracer::drainBeforeStop() {
  // What the driver saw before the stop goes into the final delivery.
  if (lost_) return;
  auto stopped = std::chrono::steady_clock::now();
  auto deadline = stopped + kStopDrainLimit;
  // Records dated after this are of processes started or ended after the stop. The driver
  // queues an end a moment after it sees it, so a start dated later may come before an end
  // dated earlier: the queue is read a little longer after the first of them.
  drainUntil_ =
      driverTimeOfUnixNanos(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                (std::chrono::system_clock::now() + kStopSettle).time_since_epoch())
                                .count());
  drainTailEnd_.reset();
  auto pastStop = [this] {
    return drainTailEnd_ && std::chrono::steady_clock::now() >= *drainTailEnd_;
  };
  while (std::chrono::steady_clock::now() < deadline) {
    queueLeftOver_ = false;
    if (drainQueue() == kReadFailed || pastStop()) break;
    if (queueLeftOver_) continue;
    // Dry: done once the driver has had the time to queue what it saw before the stop.
    auto now = std::chrono::steady_clock::now();
    if (now >= stopped + kStopSettle) break;
    env_.waitForAnyEvent(
        {processEvent_.get()},
        std::chrono::duration_cast<std::chrono::milliseconds>(stopped + kStopSettle - now));
  }
  bool complete = pastStop() || std::chrono::steady_clock::now() < deadline;
  drainUntil_ = 0;
  drainTailEnd_.reset();
  queueLeftOver_ = false;
  if (!complete) {
    logger_.debug(1, "   The kernel driver's queue was not read to its end before the stop.");
  }
}

KernelDriverTracer::Connection KernelDriverTracer::connectToDriver(ThreadEntry& row) {
  std::vector<std::uint8_t> answer;
  if (platform::Status asked = request(kDriverVersionRequest, {}, 4, &answer); !asked) {
    // Hung, or gone since the configuration found it.
    logger_.debug(1, "THREAD %s: Unable to access the kernel driver (%s).", row.name,
                  errorName(asked.code()));
    return Connection::kLost;
  }
  if (answer.size() != 4) {
    logger_.fatal(9, errorName(platform::kErrorInvalidData));
    return Connection::kRefused;
  }
  auto version = static_cast<std::int64_t>(platform::getLittleEndian(answer.data(), 4));
  if (version != kDriverVersion) {
    logger_.fatal(10, version, static_cast<std::int64_t>(kDriverVersion));
    return Connection::kRefused;
  }
  makeQuitEvent();
  logger_.debug(1, "Kernel driver tracing is trying to connect to kernel driver...");
  for (int attempt = 0;; ++attempt) {
    platform::Expected<std::unique_ptr<platform::NamedEvent>> opened =
        env_.openEvent(kDriverProcessEventName, platform::NamedEvent::Reset::kAutomatic);
    processEvent_ = std::move(opened.value());
    if (processEvent_) break;
    if (attempt == kConnectRetries) {
      logger_.debug(1,
                    "Kernel driver tracer failed to connect to the kernel driver. Giving up "
                    "now.");
      logger_.fatal(9, errorName(opened.error()));
      return Connection::kRefused;
    }
    logger_.debug(1, "Kernel driver tracer failed to connect. Will try again in 5 seconds.");
    row.pause(kConnectRetryPause);
    // The retries take most of a minute: the supervision is answered meanwhile.
    reportThreadStatus(row.report, false);
    if (row.stopRequested()) return Connection::kRefused;
  }
  logger_.debug(1, "Kernel driver tracer successfully connected to the kernel driver.");
  runningSince_.store(env_.processStartStampNow());
  running_.store(true);
  return Connection::kConnected;
}

KernelDriverTracer::WaitResult KernelDriverTracer::waitForDriverEvents(
    std::atomic<std::uint32_t>& report) {
  try {
    int signalled = 0;
    if (!std::exchange(queueLeftOver_, false)) {
      std::vector<platform::NamedEvent*> events = {processEvent_.get()};
      if (quitEvent_) events.push_back(quitEvent_.get());
      platform::Expected<int> waited = env_.waitForAnyEvent(events, kWaitTimeout);
      if (!waited) {
        logger_.fatal(12, static_cast<std::int64_t>(waited.error()));
        logger_.debug(1, "Got failed event.");
        return kWaitFailed;
      }
      signalled = waited.value();
      if (signalled == platform::NamedEvent::kTimedOut) {
        tellLost();
        if (std::chrono::steady_clock::now() - lastAnswer_ < kQuietCheck) return kNothingToReport;
        // Its queue is read as if it had signalled: a signal that never came (or went elsewhere)
        // strands no record, and until it answers every time-out asks again, so a driver that
        // has gone fails twice.
        return drainQueue();
      }
      logger_.debug(3, "Kernel driver tracer has detected some activity...");
      if (report.load() == REPORT_STOP) {
        logger_.debug(4, "   Cannot log activity. Has been signalled to quit.");
        return kNothingToReport;
      }
    }
    switch (signalled) {
      case 0:
        logger_.debug(4, "Kernel driver tracer registered a process event.");
        return drainQueue();
      case 1:
        logger_.debug(4, "Kernel driver tracer registered a quit event.");
        return kQuitSignalled;
      default:
        // An answer no wait gives: nothing the system said, so no code of its own.
        logger_.fatal(12, static_cast<std::int64_t>(platform::kErrorInvalidData));
        logger_.debug(1, "Got unknown event. WAIT_OBJECT_0 + 0 = %i, got %i.", 0, signalled);
        return kWaitFailed;
    }
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger_.error(34);
    return kReadFailed;
  }
}

KernelDriverTracer::WaitResult KernelDriverTracer::drainQueue() {
  auto now = std::chrono::steady_clock::now();
  if (now - accountsLearnt_ > kAccountsLifetime) {
    accountsLearnt_ = now;
    accounts_ = AccountNames(env_);
  }
  for (int taken = 0; taken < kMostRecordsPerWait;) {
    std::vector<TakenRecord> records;
    if (!takeRecords(&records)) return kReadFailed;
    if (records.empty()) {
      logger_.debug(5, "   False alarm. No data received.");
      // The records queued before the loss are in the map now: the rescan ends those that
      // have ended since, and finds what started unseen.
      if (std::exchange(repairPending_, false)) poller_.requestFullPoll();
      return kNothingToReport;
    }
    // The batch's records reach the data files in one write each.
    LogFile::FlushTogether flushTogether;
    for (const TakenRecord& taken : records) {
      const DriverRecord& record = taken.record;
      if (record.kind() == DriverRecordKind::kRecordsLost) {
        lostUntold_ += record.exitStatus;
        eventsLost_.fetch_add(record.exitStatus);
        tellLost();
        repairPending_ = true;
        continue;
      }
      ProcessRef process = makeProcess(record, taken.facts);
      if (!process) {
        logger_.debug(1, "   Failed to create process object.");
        return kReadFailed;
      }
      processMap_.logProcess(process);
      if (drainUntil_ != 0 && !drainTailEnd_ && record.time >= drainUntil_) {
        drainTailEnd_ = std::chrono::steady_clock::now() + kStopTail;
      }
    }
    taken += static_cast<int>(records.size());
    if (drainTailEnd_ && std::chrono::steady_clock::now() >= *drainTailEnd_) {
      return kNothingToReport;
    }
    // A batch with room to spare held all the driver had: what it queues next it signals.
    if (!batchUnsupported_ && !batchWasFull_) {
      if (std::exchange(repairPending_, false)) poller_.requestFullPoll();
      return kNothingToReport;
    }
  }
  queueLeftOver_ = true;
  return kNothingToReport;
}

bool KernelDriverTracer::takeRecords(std::vector<TakenRecord>* records) {
  std::vector<std::uint8_t> answer;
  if (!batchUnsupported_) {
    platform::Status asked = request(kDriverBatchRequest, {}, kBatchBytes, &answer);
    if (asked) {
      std::optional<std::vector<DriverBatchEntry>> batch = decodeDriverBatch(answer);
      if (!batch) {
        logger_.critical(11, "a batch of " + std::to_string(answer.size()) + " bytes");
        return false;
      }
      records->reserve(batch->size());
      for (DriverBatchEntry& entry : *batch) {
        records->push_back({entry.record, std::move(entry.facts)});
      }
      batchWasFull_ = answer.size() + kLeastDriverBatch > kBatchBytes;
      return true;
    }
    if (asked.code() != platform::kErrorInvalidFunction) {
      logger_.critical(11, errorName(asked.code()));
      return false;
    }
    // A driver without batches: record by record, with a request for the facts of each.
    batchUnsupported_ = true;
  }
  if (platform::Status asked = request(kDriverEventRequest, {}, kDriverRecordSize, &answer);
      !asked) {
    logger_.critical(11, errorName(asked.code()));
    return false;
  }
  if (answer.empty()) return true;
  std::optional<DriverRecord> record = decodeDriverRecord(answer);
  if (!record) {
    logger_.critical(11, "a record of " + std::to_string(answer.size()) + " bytes");
    return false;
  }
  std::optional<DriverFacts> facts;
  if (record->kind() == DriverRecordKind::kCreated || record->kind() == DriverRecordKind::kEnded) {
    facts = askFacts(answer);
  }
  records->push_back({*record, std::move(facts)});
  return true;
}

ProcessRef KernelDriverTracer::makeProcess(const DriverRecord& record,
                                           const std::optional<DriverFacts>& facts) {
  try {
    ProcessEvent event;
    event.pid = record.pid;
    event.time = DateTime(record.unixSeconds());
    if (facts) {
      event.startStamp = facts->startStamp;
      event.exactStart = facts->startNanos;
    }
    switch (record.kind()) {
      case DriverRecordKind::kCreated: {
        if (!facts) {
          // Read from the process itself, as with any driver.
          return std::make_shared<Process>(env_, record.pid, &event.time, true);
        }
        // A start the driver saw stays a start even when the process is gone before anything
        // could be read of it: its end then gives a record of a lost program, not nothing.
        event.state = ProcessState::Started;
        // A driver that tells facts fills the parent too.
        event.parentPid = record.parentPid;
        event.image = facts->image;
        std::string user;
        std::string domain;
        if (!facts->sid.empty() && accounts_.lookup(facts->sid, &user, &domain)) {
          event.user = {user, domain};
        }
        break;
      }
      case DriverRecordKind::kEnded:
        // Ended when the driver saw it end, not when the record is read.
        event.state = ProcessState::Ended;
        if (facts && facts->exitStatus) {
          event.exitCode = static_cast<std::uint32_t>(*facts->exitStatus);
        }
        // Nothing waits for it but what a listing found.
        event.startUnseen = facts && facts->startUnseen;
        break;
      default:
        // Neither a start nor an end: the map ignores it.
        break;
    }
    return std::make_shared<Process>(env_, event);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

std::optional<DriverFacts> KernelDriverTracer::askFacts(const std::vector<std::uint8_t>& record) {
  if (factsUnsupported_) return std::nullopt;
  std::vector<std::uint8_t> answer;
  if (platform::Status asked = request(kDriverFactsRequest, record, kMaxDriverFacts, &answer);
      !asked) {
    if (asked.code() == platform::kErrorInvalidFunction) {
      factsUnsupported_ = true;
      logger_.debug(1,
                    "   The kernel driver tells nothing beyond its records: the processes "
                    "are read instead.");
    }
    // Any other failure shows again at the next read of a record.
    return std::nullopt;
  }
  return decodeDriverFacts(answer);
}

void KernelDriverTracer::tellLost() {
  auto now = std::chrono::steady_clock::now();
  if (lostUntold_ == 0 || now - lostTold_ < kLostReportPeriod) return;
  logger_.warning(35, static_cast<std::int64_t>(lostUntold_));
  lostUntold_ = 0;
  lostTold_ = now;
}

platform::Status KernelDriverTracer::request(std::uint32_t code,
                                             const std::vector<std::uint8_t>& input,
                                             std::uint32_t capacity,
                                             std::vector<std::uint8_t>* output) {
  std::shared_ptr<platform::Device> device;
  {
    platform::MutexLock lock(&deviceMutex_);
    device = device_;
  }
  if (!device) return platform::Status::error(platform::kErrorInvalidHandle);
  platform::Status answered = device->control(code, input, capacity, output, kRequestTimeout);
  // The driver's own refusal is an answer too.
  if (answered || device->isOpen()) lastAnswer_ = std::chrono::steady_clock::now();
  return answered;
}

}  // namespace Vantor
