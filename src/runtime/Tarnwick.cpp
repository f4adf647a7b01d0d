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

// An interval key under "logging": zero or less counts as missing (a negative one would poll
// without pause).
TimeSpan intervalOf(const ConfReader& reader, const std::string& key, const TimeSpan& fallback,
                    const LoggerUnit& logger) {
  TimeSpanFields fields;
  if (reader.getTimeSpan(key, fields) == ConfReader::CONF_OK && TimeSpan(fields).getSeconds() > 0) {
    TimeSpan interval(fields);
    logger.debug(1, "   Poll interval is %s.", interval.toString());
    return interval;
  }
  logger.debug(1, "   No poll interval found. Will be using default interval %s.",
               fallback.toString());
  return fallback;
}

// A delivery interval: zero or less counts as missing, or nothing would ever be delivered.
TimeSpan timeSpanOr(const ConfReader& reader, const std::string& key, const TimeSpan& fallback) {
  TimeSpanFields fields;
  return reader.getTimeSpan(key, fields) == ConfReader::CONF_OK && TimeSpan(fields).getSeconds() > 0
             ? TimeSpan(fields)
             : fallback;
}

bool boolOr(const ConfReader& reader, const std::string& key, bool fallback) {
  bool value = fallback;
  reader.getBool(key, value);
  return value;
}

// Says which names of a counter list are not read. A few are a site's slips; more is not a
// counter list, and the log need not say each.
void logUnreadCounters(const CounterList& counters, const LoggerUnit& logger) {
  constexpr int kNamesLogged = 10;
  int unknown = 0;
  for (const CounterSpec& counter : counters.counters()) {
    if (counter.index != 0 || ++unknown > kNamesLogged) continue;
    logger.debug(1, "   The Process object has no counter \"%s\"; it is not read.",
                 TextUtils::withoutControls(counter.name, '?'));
  }
  if (unknown > kNamesLogged) {
    logger.debug(1, "   ... and %i more names the Process object has no counter of.",
                 static_cast<std::int64_t>(unknown - kNamesLogged));
  }
  if (counters.truncated()) {
    logger.debug(1, "   Only the first %i counters of the list are read.",
                 static_cast<std::int64_t>(CounterList::kMaxCounters));
  }
}

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

bool Tarnwick::configureProgram() {
  if (!programLogger_) programLogger_ = std::make_unique<LoggerUnit>(sender(), kModuleTarnwick);
  LogSettings::threadIdentifiers.store(true);
  Process::setLogger(programLogger_.get(), staticInfo().computerName);
  const ConfReader& conf = reader();

  std::string installDirectory;
  if (SystemInfo::getResourceString(env().registry(), "InstallDir", installDirectory) !=
      SystemInfo::RESOURCE_OK) {
    FileOps::currentDir(env(), &installDirectory);
  }
  installDirectory =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(installDirectory));
  workingDirectory_ = installDirectory + "Log/temp/Tarnwick/";
  conf.getDirName("tarnwick.working-dir", workingDirectory_);
  workingDirectory_ =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(workingDirectory_));
  logger().debug(4, "Working dir: %s.", workingDirectory_);
  if (othersMayChange("the working folder", workingDirectory_)) return false;
  if (!FileOps::makeParentDirs(env(), workingDirectory_ + "data")) {
    programLogger_->fatal(1, workingDirectory_);
    return false;
  }

  deliveryInterval_ = timeSpanOr(conf, "tarnwick.interval", TimeSpan(43200));
  logger().debug(4, "Data delivery at interval: %s.", deliveryInterval_.toString());
  perfMonInterval_ = timeSpanOr(conf, "tarnwick.interval.performance-monitor", TimeSpan(3600));
  const std::string processData = "tarnwick.logging.process-data";
  bool polling = boolOr(conf, processData + ".polling", false);
  TimeSpan pollInterval(300);
  if (polling) {
    logger().debug(1, "Will be polling process table...");
    pollInterval = intervalOf(conf, processData + ".polling.interval", TimeSpan(300), logger());
  }
  const std::string moduleKey = "tarnwick.logging.module-data";
  bool moduleData = boolOr(conf, moduleKey, false);
  TimeSpan moduleInterval(0);
  std::string moduleFilterFile = configurationDirectory() + "tarnwick_modpoller.conf";
  if (moduleData) {
    logger().debug(1, "Will be polling process modules...");
    moduleInterval = intervalOf(conf, moduleKey + ".interval", TimeSpan(0), logger());
    conf.getFileName(moduleKey + ".interval.filter", moduleFilterFile);
    moduleFilterFile = FileUtils::normaliseSeparators(moduleFilterFile);
  }
  EventSource source = chooseEventSource(polling, pollInterval);
  const std::string performanceKey = "tarnwick.logging.performance-monitor";
  bool performance = boolOr(conf, performanceKey, false);
  TimeSpan performanceInterval(5);
  std::string countersFile = configurationDirectory() + "Tarnwick_Counters.conf";
  std::string rulesFile = configurationDirectory() + "Tarnwick_ProcessRules.conf";
  if (performance) {
    logger().debug(1, "Will be monitoring performance...");
    performanceInterval = intervalOf(conf, performanceKey + ".interval", TimeSpan(5), logger());
    conf.getFileName(performanceKey + ".counters", countersFile);
    conf.getFileName(performanceKey + ".rules", rulesFile);
    countersFile = FileUtils::normaliseSeparators(countersFile);
    rulesFile = FileUtils::normaliseSeparators(rulesFile);
  }
  // Each file that decides what is recorded must be as safe as the configuration itself.
  if (othersMayChange("the application mapping", configurationDirectory() + "components/") ||
      (moduleData && othersMayChange("the module filter", moduleFilterFile)) ||
      (performance && (othersMayChange("the counter list", countersFile) ||
                       othersMayChange("the performance rules", rulesFile)))) {
    return false;
  }
  if (!loadProductNames()) return false;
  buildMetering();
  poller_->configure(pollInterval, source, polling);
  eventSource_ = source;
  polling_ = polling;
  if (polling && !poller_->prepareProcessPoller(threads())) return false;
  std::shared_ptr<const ModuleFilter> moduleFilter;
  if (moduleData && !(moduleFilter = readModuleFilter(moduleFilterFile))) return false;
  // Switched off, the tables would hold stretches across the time nothing was recorded.
  if (!moduleData) processMap_->forgetModules();
  processMap_->moduleLog().configure(moduleFilter);
  if (moduleData && moduleInterval.getSeconds() > 0) {
    modulePoller_->configure(moduleInterval);
    if (!modulePoller_->prepareModulePoller(threads())) return false;
  }
  std::shared_ptr<const PerformanceSetup> performanceSetup;
  if (performance && !(performanceSetup = readPerformanceSetup(countersFile, rulesFile))) {
    return false;
  }
  processMap_->perfMonLog().configure(performanceSetup);
  // From where the records written before a reconfiguration end.
  processMap_->remeasure(measuredUntil_ != 0 ? measuredUntil_ : DateTime().getValue());
  if (performance) {
    performanceMonitor_->configure(performanceInterval);
    if (!performanceMonitor_->preparePerformanceMonitor(threads())) return false;
  }
  if (source != EventSource::kKernelTrace) eventTracer_->endSession();
  if (source == EventSource::kKernelTrace) {
    eventTracer_->configure(traceBufferKilobytes_);
    if (!eventTracer_->prepareEventTracer(threads())) return false;
  }
  // A driver that queues for nobody would only fill its queue.
  if (source != EventSource::kKernelDriver) {
    kernelDriver_.reset();
    driverTracer_->dropDevice();
  }
  // The source alone holds the device: one it lets go of (the driver was lost) is closed.
  if (source == EventSource::kKernelDriver &&
      !driverTracer_->prepareKernelDriverTracer(threads(), std::move(kernelDriver_))) {
    return false;
  }

  registerProcessStream();
  if (moduleData) registerModuleStream();
  if (performance) registerPerformanceStream();
  return true;
}

void Tarnwick::beforeReconfiguring() {
  // The stretches of the modules loaded now end here, and so do the performance figures:
  // the new configuration may switch either off, or change what they take in.
  if (!processMap_) return;
  processMap_->restartModuleStretches();
  measuredUntil_ = processMap_->perfMonLog().enabled() ? processMap_->dumpPerfMon() : 0;
}

void Tarnwick::registerProcessStream() {
  streams().registerLogFile(workingDirectory_ + "ProcessLog", "process", TimeSpan(0), false,
                            [this] { processMap_->dumpAll(); });
}

void Tarnwick::registerModuleStream() {
  streams().registerLogFile(workingDirectory_ + "ModuleLog", "module", TimeSpan(0), false, nullptr);
}

void Tarnwick::registerPerformanceStream() {
  streams().registerLogFile(workingDirectory_ + "PerfMonLog", "perfmon", perfMonInterval_, true,
                            [this] { processMap_->dumpPerfMon(); });
}

EventSource Tarnwick::chooseEventSource(bool& polling, TimeSpan& pollInterval) {
  const std::string events = "tarnwick.logging.process-data.events";
  if (!boolOr(reader(), events, false)) return EventSource::kNone;
  logger().debug(1, "Will be using process events...");
  // Systems of the old kind have no kernel trace session: polling stands in, often.
  bool oldKind = staticInfo().osName.find("NT") != std::string::npos;
  auto pollInstead = [&] {
    programLogger_->warning(14);
    polling = true;
    if (pollInterval.getSeconds() > 10) pollInterval = TimeSpan(10);
  };
  auto kernelTraceOrPolls = [&] {
    if (!env().kernelTrace().permitted()) {
      // Without the right to trace, this system has no kernel trace session for the agent.
      programLogger_->warning(22, errorName(platform::lastError()));
      pollInstead();
      return EventSource::kNone;
    }
    logger().debug(1, "   Will be using native W2K/XP event logger.");
    return EventSource::kKernelTrace;
  };
  if (boolOr(reader(), events + ".kernel-driver", false)) {
    logger().debug(1, "   Will be using the kernel driver to get process events.");
    // The device in use is kept across a reconfiguration: a driver serves one client.
    if (driverTracer_) kernelDriver_ = driverTracer_->device();
    if (!kernelDriver_ || !kernelDriver_->isOpen()) {
      kernelDriver_ = env().openDevice(kDriverDeviceName);
    }
    if (kernelDriver_) return EventSource::kKernelDriver;
    programLogger_->warning(15, errorName(platform::lastError()));
    if (!oldKind) return kernelTraceOrPolls();
    // No driver to read: the polls are all there is.
    pollInstead();
    return EventSource::kNone;
  }
  if (oldKind) {
    pollInstead();
  } else if (boolOr(reader(), events + ".native", false)) {
    return kernelTraceOrPolls();
  }
  return EventSource::kNone;
}

std::shared_ptr<const ModuleFilter> Tarnwick::readModuleFilter(const std::string& path) {
  auto filter = std::make_shared<ModuleFilter>();
  // Without a filter file every module is recorded.
  if (!FileOps::exists(env(), path)) return filter;
  logger().debug(3, "   Reading file: \"%s\"...", path);
  if (!filter->loadModuleFilter(env(), path)) {
    programLogger_->error(31, path);
    // On a reconfiguration the filter in use stays, as a broken configuration file does.
    if (std::shared_ptr<const ModuleFilter> running = processMap_->moduleLog().filter()) {
      logger().debug(1, "   The module filter in use is kept.");
      return running;
    }
    refuseStart("The module filter " + path + " could not be read; mend it or remove it.");
    return nullptr;
  }
  logger().debug(3, "   Done.");
  return filter;
}

std::shared_ptr<const PerformanceSetup> Tarnwick::readPerformanceSetup(
    const std::string& countersPath, const std::string& rulesPath) {
  auto setup = std::make_shared<PerformanceSetup>();
  logger().debug(3, "   Reading file: \"%s\"...", countersPath);
  bool read = setup->counters.loadCounterList(env(), countersPath,
                                              env().performanceCounters().englishCounterNames());
  logUnreadCounters(setup->counters, logger());
  std::string unread = read ? rulesPath : countersPath;
  if (read) {
    logger().debug(3, "   Reading file: \"%s\"...", rulesPath);
    read = setup->rules.loadModuleFilter(env(), rulesPath);
  }
  if (read) {
    logger().debug(3, "   Done.");
    return setup;
  }
  programLogger_->error(31, unread);
  // On a reconfiguration what is measured now stays, as with a broken configuration file.
  if (std::shared_ptr<const PerformanceSetup> running = processMap_->perfMonLog().setup()) {
    logger().debug(1, "   The counter list and process rules in use are kept.");
    return running;
  }
  refuseStart("The performance monitor's file " + unread +
              " could not be read or names no counter; mend it or switch the monitor off.");
  return nullptr;
}

bool Tarnwick::loadProductNames() {
  if (exeFinder_) {
    exeFinder_->loadApplicationMappings(reader());  // a reconfiguration reads them again
    return true;
  }
  logger().debug(1, "Creating ExeFinder...");
  try {
    exeFinder_ = std::make_unique<ExeFinder>(env(), *programLogger_, logger());
  } catch (const std::exception&) {
    programLogger_->fatal(5);
    return false;
  }
  exeFinder_->loadApplicationMappings(reader());
  logger().debug(1, "ExeFinder created.");
  return true;
}

void Tarnwick::buildMetering() {
  if (processMap_) return;
  processMap_ = std::make_unique<ProcessMap>(env(), *programLogger_, *exeFinder_, accounts(),
                                             primeTime(), streams(), staticInfo());
  poller_ = std::make_unique<ProcessPoller>(env(), *programLogger_, *processMap_, *exeFinder_);
  modulePoller_ = std::make_unique<ModulePoller>(env(), *programLogger_, *processMap_);
  performanceMonitor_ = std::make_unique<PerformanceMonitor>(env(), *programLogger_, *processMap_);
  eventTracer_ = std::make_unique<EventTracer>(env(), *programLogger_, *processMap_, *poller_);
  driverTracer_ =
      std::make_unique<KernelDriverTracer>(env(), *programLogger_, *processMap_, *poller_);
  // A worker killed while it holds the map must not leave it locked.
  threads().setKillHook([this](std::uint32_t threadId) { processMap_->renewIfOwnedBy(threadId); });
}

void Tarnwick::enableDebugPrivileges() {
  logger().debug(1, "Enabling debug privileges...");
  std::string step;
  if (!env().enableDebugPrivilege(&step)) {
    std::uint32_t code = platform::lastError();
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
  } else if (body == "RECONFIG") {
    logger().debug(1, "Reconfiguring...");
    raiseReconfigureFlag();
  } else {
    logger().debug(1, "IPC: Received an unknown command.");
  }
}

std::uint32_t Tarnwick::monitorStatus() {
  logger().debug(1, "START THREAD statusMonitor.");
  try {
    // Only the events tell starts and ends: the processes already running come from polls,
    // the first once the events come, so that nothing starts unseen in between.
    std::optional<std::chrono::steady_clock::time_point> tracerStarted = awaitEventSource();
    if (activeEventSource() && !polling_) {
      poller_->pollProcesses(true, activeEventSource()->runningSince());
    }
    DateTime nextCheck = DateTime() + checkPeriod_;
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
        nextCheck = DateTime() + checkPeriod_;
        logger().debug(5, "statusMonitor is running as normal.");
        if (!threads().checkThreads()) {
          logger().debug(1, "statusMonitor is exiting due to failed threads.");
          endByFailure();
          raiseQuitFlag();
          break;
        }
      }
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
    if (source->hasGivenUp()) break;
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
  shutDownWorkers();
  // Starts still waiting to be read are recorded now, or never: those gone, once, as lost.
  if (processMap_) processMap_->retryPendingStarts();
  streams().deliverAll(true);
  logger().debug(1, "Tarnwick main control has ended.");
}

}  // namespace Vantor
