#include "runtime/Tarnwick.h"

#include <chrono>

#include "concurrency/ErrorName.h"
#include "concurrency/ProcessFlags.h"
#include "concurrency/ThreadMessages.h"
#include "foundation/Exception.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"
#include "foundation/TextUtils.h"
#include "ipc/IPCClient.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/ProcessPerformance.h"
#include "platform/ThreadCancellation.h"
#include "platform/TraceSession.h"

namespace Vantor {

namespace {

constexpr auto kMonitorPause = std::chrono::seconds(1);
constexpr auto kStartUpWait = std::chrono::seconds(5);
// A status monitor still configuring after this long at shutdown is stuck, and is killed.
constexpr std::uint32_t kMonitorEndMillis = 30000;
// Longer than a driver source takes to find a driver's event that comes late.
constexpr auto kEventSourceWait = std::chrono::seconds(60);
// Processes that ran before the events began reach the map by a second full poll this late.
constexpr auto kSecondFullPollDelay = std::chrono::seconds(60);

}  // namespace

Tarnwick::Tarnwick(platform::Env& env, Arguments arguments)
    : Agent(env, "Tarnwick", std::move(arguments)) {}

Tarnwick::~Tarnwick() {
  // run() may have returned early, with workers running.
  shutDownWorkers();
  if (programLogger_) {
    programLogger_->debug(1, "Tarnwick is terminating...");
    programLogger_->debug(1, "Tarnwick ended.");
  }
  if (server_) server_->stop();
  server_.reset();
  if (processMap_) {
    // Nothing may dump the map once it is gone.
    streams().clear();
    poller_->clear();
    processMap_->clear();
  }
  eventTracer_.reset();
  driverTracer_.reset();
  performanceMonitor_.reset();
  modulePoller_.reset();
  poller_.reset();
  processMap_.reset();
  exeFinder_.reset();
  Process::setLogger(nullptr, "");
  statusMonitor_.reset();
  programLogger_.reset();
}

void Tarnwick::enableDebugPrivileges() {
  logger().debug(1, "Enabling debug privileges...");
  std::string step;
  if (platform::Status raised = env().enableDebugPrivilege(&step); !raised) {
    std::uint32_t code = raised.code();
    logger().debug(1, "%s failed (%s).", step, errorName(code));
    programLogger_->error(16, static_cast<std::int64_t>(code), step);
    return;
  }
  logger().debug(1, "Debug privileges enabled.");
}

void Tarnwick::recoverLeftovers() {
  logger().debug(3, "Handling files left over from previous crash...");
  std::vector<FileOps::ListEntry> files;
  FileOps::list(env(), workingDirectory_ + "*.make*", &files);
  if (files.empty()) {
    logger().debug(3, "    No files found.");
    return;
  }
  std::vector<std::string> kept;
  for (const FileOps::ListEntry& file : files) {
    // A closed ".make" file is finished data whose move to ".data" failed, or was cut short
    // by the end of the agent: delivered, never deleted.
    if (FileUtils::extension(file.name) == "tmp" || FileUtils::extension(file.name) == "make") {
      logger().debug(5, "   Found \"%s\". Maybe we'll keep it...", file.name);
      kept.push_back(workingDirectory_ + file.name);
    } else {
      logger().debug(5, "   Found file \"%s\". Deleting it.", file.name);
      FileOps::remove(env(), workingDirectory_ + file.name, true);
    }
  }
  if (kept.empty()) {
    logger().debug(3, "   Found no files worth processing.");
    return;
  }
  std::string stamp = "-" + std::to_string(DateTime().getValue()) + "-" +
                      std::to_string(env().processId()) + ".data";
  std::int64_t accepted = 0;
  for (const std::string& path : kept) {
    FileOps::FileInfo info;
    if (FileOps::getInfo(env(), path, &info) && info.size == 0) {
      logger().debug(5, "   The file\"%s\" has no data. Deleting it.", path);
      FileOps::remove(env(), path, true);
      continue;
    }
    // A file being written ends in ".make" and ".tmp" (nine characters), a closed one in
    // ".make" (five).
    std::size_t ending = path.ends_with(".tmp") ? 9 : 5;
    FileOps::move(env(), path, path.substr(0, path.size() - ending) + stamp, false);
    logger().debug(5, "   The file \"%s\" was OK, and has been accepted.", path);
    ++accepted;
  }
  logger().debug(3, "   %i leftover file(s) were accepted.", accepted);
}

void Tarnwick::handleCommand(const std::string& type, const std::string& reference,
                             const std::string& body, const std::string& replyTo) {
  // A field shows in the log at a readable length, however long it came.
  constexpr std::size_t kLoggedFieldBytes = 200;
  logger().debug(2, "IPC: Received message \"%s\".", TextUtils::clipped(type, kLoggedFieldBytes));
  if (type != "COMMAND") {
    logger().debug(1, "IPC: Received an unknown type.");
    return;
  }
  logger().debug(3, "IPC: Received command \"%s\".", TextUtils::clipped(body, kLoggedFieldBytes));
  // Whether the reply went out.
  auto reply = [&](const std::string& text) {
    try {
      IPCClient(env(), replyTo).send("REPLY", reference, text, kServerName);
      return true;
    } catch (const Exception& error) {
      logger().debug(1, error.getFullText());
      programLogger_->error(2, error.getFullText());
      return false;
    }
  };
  if (body == "DIE") {
    logger().debug(3, "Quitting.");
    raiseQuitFlag();
  } else if (body == "SEND_PROCESS_INFO") {
    logger().debug(3, "IPC: Sending main thread ID as requested...");
    if (reply(std::to_string(env().processId()) + "," + std::to_string(mainThreadId.load()))) {
      logger().debug(3, "IPC: Main thread ID sent.");
    }
  } else if (body == "TARNWICKDUMP") {
    logger().debug(3, "IPC: Dumping data as requested...");
    streams().deliverAll(false);
    logger().debug(3, "IPC: Reporting success to Vantor Core.");
    reply("");
  } else if (body == "STATUS" || body == "STATUS_JSON") {
    AgentStatus status = currentStatus();
    reply(body == "STATUS" ? statusText(status) : statusJson(status));
  } else if (body == "RECONFIG") {
    logger().debug(1, "Reconfiguring...");
    raiseReconfigureFlag();
  } else {
    logger().debug(1, "IPC: Received an unknown command.");
  }
}

std::uint32_t Tarnwick::monitorStatus() {
  logger().debug(1, "START THREAD statusMonitor.");
  publishWorkerStatus();
  try {
    // Only the events tell starts and ends: the processes already running come from polls,
    // the first once the events come, so that nothing starts unseen in between.
    std::optional<std::chrono::steady_clock::time_point> tracerStarted = awaitEventSource();
    if (activeEventSource() && !polling_) {
      poller_->pollProcesses(true, activeEventSource()->runningSince());
      if (tracerStarted) eventsBegun_.store(true);
    }
    DateTime nextCheck = DateTime() + serviceNotices_.checkPeriod(checkPeriod_);
    while (!quitFlag.load()) {
      if (tracerStarted && !polling_ &&
          std::chrono::steady_clock::now() - *tracerStarted >= kSecondFullPollDelay) {
        tracerStarted.reset();
        poller_->pollProcesses(true, activeEventSource()->runningSince());
      }
      // Events were lost: the poller thread repairs when it runs, else this one.
      if (std::optional<RepairBound> bound;
          !polling_ && poller_ && (bound = poller_->takeFullPollRequest())) {
        poller_->repairLostEvents(*bound);
      }
      if (reconfigureFlag.load() && !quitFlag.load() && !reconfigure()) {
        // Workers and streams are gone: ending, with the final delivery, is all that is left,
        // and the processes that still run must be in it.
        logger().debug(1, "statusMonitor is exiting: the reconfiguration failed.");
        endByFailure();
        if (processMap_ && !streams().getLogFile("process")) registerProcessStream();
        if (processMap_ && processMap_->moduleLog().enabled()) registerModuleStream();
        if (processMap_ && processMap_->perfMonLog().enabled()) registerPerformanceStream();
        raiseQuitFlag();
        break;
      }
      if (nextCheck <= DateTime()) {
        nextCheck = DateTime() + serviceNotices_.checkPeriod(checkPeriod_);
        logger().debug(5, "statusMonitor is running as normal.");
        if (!threads().checkThreads()) {
          logger().debug(1, "statusMonitor is exiting due to failed threads.");
          endByFailure();
          raiseQuitFlag();
          break;
        }
        serviceNotices_.healthy();
      }
      publishWorkerStatus();
      // Events chosen by a reconfiguration: the poll made before them is the poller's own.
      if (const ProcessEventSource* source = activeEventSource();
          !eventsBegun_.load() && source && source->isRunning() && poller_->fullPollsDone() > 0) {
        eventsBegun_.store(true);
      }
      if (serviceNotices_.wanted()) serviceNotices_.tell(currentStatus());
      accounts().refreshAccounts();
      if (processMap_) {
        processMap_->retryPendingStarts();
        processMap_->pruneEndedProcesses(DateTime());
      }
      flagRaised().wait(kMonitorPause);
    }
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger().debug(1, "ERROR while running statusMonitor");
  }
  logger().debug(1, "END THREAD statusMonitor.");
  raiseQuitFlag();
  ThreadMessages::post(mainThreadId.load(), {kMessageQuit, 0, 0});
  return 0;
}

std::optional<std::chrono::steady_clock::time_point> Tarnwick::awaitEventSource() {
  const ProcessEventSource* source = activeEventSource();
  if (!source) {
    // The start-up pause, cut short by a quit.
    auto deadline = std::chrono::steady_clock::now() + kStartUpWait;
    while (!quitFlag.load() && !reconfigureFlag.load() &&
           std::chrono::steady_clock::now() < deadline) {
      flagRaised().wait(std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now()));
    }
    return std::nullopt;
  }
  auto deadline = std::chrono::steady_clock::now() + kEventSourceWait;
  while (!quitFlag.load() && std::chrono::steady_clock::now() < deadline) {
    // Begun is enough: a source may end again at once (a quit event), and wait for its restart.
    if (source->isRunning() || source->runningSince() != 0) {
      return std::chrono::steady_clock::now();
    }
    // Polls that stand in for a driver that does not answer are this thread's to make.
    if (source->hasGivenUp() || source->pollsStandIn()) break;
    flagRaised().wait(std::chrono::milliseconds(100));
  }
  return std::nullopt;
}

const ProcessEventSource* Tarnwick::activeEventSource() const {
  switch (eventSource_) {
    case EventSource::kKernelTrace:
      return eventTracer_.get();
    case EventSource::kKernelDriver:
      return driverTracer_.get();
    case EventSource::kNone:
      break;
  }
  return nullptr;
}

void Tarnwick::shutDownWorkers() {
  raiseQuitFlag();
  if (statusMonitor_ && !statusMonitor_->awaitEnd(kMonitorEndMillis)) {
    logger().debug(1, "statusMonitor did not end; it is killed.");
    statusMonitor_->terminate();
  }
  if (!threadsStarted_) return;
  threads().stopThreads();
  threads().awaitStopped(ThreadTable::kStopGrace);
  threads().verifyStoppedThreads();
  threadsStarted_ = false;
}

void Tarnwick::run() {
  recoverLeftovers();
  try {
    server_ = std::make_unique<IPCServer>(
        env(), kServerName, sender(),
        [this](const std::string& type, const std::string& reference, const std::string& body,
               const std::string& replyTo) { handleCommand(type, reference, body, replyTo); });
  } catch (const Exception& error) {
    programLogger_->fatal(15, error.getFullText());
    logger().debug(1, error.getFullText());
    endByFailure();
    return;
  }
  enableDebugPrivileges();
  threadsStarted_ = true;
  if (!threads().startThreads()) {
    endByFailure();
    return;
  }
  logger().debug(1, "Creating statusMonitor thread");
  mainThreadId.store(platform::currentThreadId());
  statusMonitor_ = std::make_unique<ThreadInstance>([this] { return monitorStatus(); });
  try {
    statusMonitor_->execute();
  } catch (const Exception&) {
    logger().debug(3, "Failed to create statusMonitor.");
    endByFailure();
    return;
  }
  logger().debug(5, "Created statusMonitor.");
  programLogger_->notice(8);
  logger().debug(1, "START MAIN LOOP");
  mainLoopRunning_.store(true);
  ThreadMessage message;
  while (ThreadMessages::get(&message)) {
    if (message.message == kMessageClose || message.message == kMessageDestroy) {
      raiseQuitFlag();
      logger().debug(5, "Main loop: Got Windows message to shut down.");
      break;
    }
    if (quitFlag.load()) break;
  }
  logger().debug(1, "Tarnwick main loop has exited.");
  serviceNotices_.stopping();
  shutDownWorkers();
  // Starts still waiting to be read are recorded now, or never: those gone, once, as lost.
  if (processMap_) processMap_->retryPendingStarts();
  streams().deliverAll(true);
  logger().debug(1, "Tarnwick main control has ended.");
}

}  // namespace Vantor
