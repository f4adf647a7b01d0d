// The agent's configuration: the metering keys, the files that decide what is recorded, the
// choice of the event source, and the process map and its sources, built once and started as
// each configuration chooses.
#include <string>

#include "concurrency/ErrorName.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"
#include "foundation/TextUtils.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/ProcessPerformance.h"
#include "platform/TraceSession.h"
#include "runtime/Tarnwick.h"

namespace Vantor {

namespace {

const char kEventsKey[] = "tarnwick.logging.process-data.events";

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

bool Tarnwick::configureProgram() {
  if (!programLogger_) programLogger_ = std::make_unique<LoggerUnit>(sender(), kModuleTarnwick);
  LogSettings::threadIdentifiers.store(true);
  Process::setLogger(programLogger_.get(), staticInfo().computerName);
  if (!prepareWorkingFolder()) return false;
  MeteringSettings settings = readMeteringSettings();
  if (othersMayChangeWhatIsRecorded(settings) || !loadProductNames()) return false;
  if (checking()) {
    checkedSettings_ = settings;
    return readFilesOfSources(settings);
  }
  buildMetering();
  if (!startSources(settings)) return false;
  registerProcessStream();
  if (settings.moduleData) registerModuleStream();
  if (settings.performance) registerPerformanceStream();
  configurations_.fetch_add(1);
  return true;
}

bool Tarnwick::prepareWorkingFolder() {
  std::string installDirectory;
  if (SystemInfo::getResourceString(env().registry(), "InstallDir", installDirectory) !=
      SystemInfo::RESOURCE_OK) {
    FileOps::currentDir(env(), &installDirectory);
  }
  installDirectory =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(installDirectory));
  workingDirectory_ = installDirectory + "Log/temp/Tarnwick/";
  reader().getDirName("tarnwick.working-dir", workingDirectory_);
  workingDirectory_ =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(workingDirectory_));
  logger().debug(4, "Working dir: %s.", workingDirectory_);
  if (othersMayChange("the working folder", workingDirectory_)) return false;
  if (checking()) return workingFolderCouldBeMade();
  if (!FileOps::makeParentDirs(env(), workingDirectory_ + "data")) {
    programLogger_->fatal(1, workingDirectory_);
    return false;
  }
  return true;
}

bool Tarnwick::workingFolderCouldBeMade() {
  // The folder, or the nearest folder above it that exists, must take files of this user.
  std::string path = workingDirectory_;
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  for (std::string above; !path.empty(); path = above) {
    platform::PathInfo info;
    if (env().fileSystem().getInfo(path, &info)) {
      if (info.isDirectory && env().fileSystem().mayWriteIn(path)) return true;
      break;
    }
    above = FileUtils::dirName(path);
    while (above.size() > 1 && (above.back() == '/' || above.back() == '\\')) above.pop_back();
    if (above == path) break;
  }
  programLogger_->fatal(1, workingDirectory_);
  return false;
}

Tarnwick::MeteringSettings Tarnwick::readMeteringSettings() {
  const ConfReader& conf = reader();
  MeteringSettings settings;
  deliveryInterval_ = timeSpanOr(conf, "tarnwick.interval", TimeSpan(43200));
  logger().debug(4, "Data delivery at interval: %s.", deliveryInterval_.toString());
  perfMonInterval_ = timeSpanOr(conf, "tarnwick.interval.performance-monitor", TimeSpan(3600));
  const std::string processData = "tarnwick.logging.process-data";
  settings.polling = boolOr(conf, processData + ".polling", false);
  if (settings.polling) {
    logger().debug(1, "Will be polling process table...");
    settings.pollInterval =
        intervalOf(conf, processData + ".polling.interval", TimeSpan(300), logger());
  }
  const std::string moduleKey = "tarnwick.logging.module-data";
  settings.moduleData = boolOr(conf, moduleKey, false);
  settings.moduleFilterFile = configurationDirectory() + "tarnwick_modpoller.conf";
  if (settings.moduleData) {
    logger().debug(1, "Will be polling process modules...");
    settings.moduleInterval = intervalOf(conf, moduleKey + ".interval", TimeSpan(0), logger());
    conf.getFileName(moduleKey + ".interval.filter", settings.moduleFilterFile);
    settings.moduleFilterFile = FileUtils::normaliseSeparators(settings.moduleFilterFile);
  }
  settings.source = chooseEventSource(settings.polling, settings.pollInterval);
  settings.eventsWanted = boolOr(conf, kEventsKey, false);
  const std::string performanceKey = "tarnwick.logging.performance-monitor";
  settings.performance = boolOr(conf, performanceKey, false);
  settings.countersFile = configurationDirectory() + "Tarnwick_Counters.conf";
  settings.rulesFile = configurationDirectory() + "Tarnwick_ProcessRules.conf";
  if (settings.performance) {
    logger().debug(1, "Will be monitoring performance...");
    settings.performanceInterval =
        intervalOf(conf, performanceKey + ".interval", TimeSpan(5), logger());
    conf.getFileName(performanceKey + ".counters", settings.countersFile);
    conf.getFileName(performanceKey + ".rules", settings.rulesFile);
    settings.countersFile = FileUtils::normaliseSeparators(settings.countersFile);
    settings.rulesFile = FileUtils::normaliseSeparators(settings.rulesFile);
  }
  return settings;
}

bool Tarnwick::othersMayChangeWhatIsRecorded(const MeteringSettings& settings) {
  // Each file that decides what is recorded must be as safe as the configuration itself.
  // The mapping is read where the configuration says, which may not be this folder.
  std::string mappings = ExeFinder::mappingFolder(reader());
  if (mappings.empty()) mappings = configurationDirectory() + "components/";
  return othersMayChangeFilesIn("the application mapping", mappings, "*.conf") ||
         (settings.moduleData && othersMayChange("the module filter", settings.moduleFilterFile)) ||
         (settings.performance && (othersMayChange("the counter list", settings.countersFile) ||
                                   othersMayChange("the performance rules", settings.rulesFile)));
}

bool Tarnwick::readFilesOfSources(const MeteringSettings& settings) {
  return (!settings.moduleData || readModuleFilter(settings.moduleFilterFile)) &&
         (!settings.performance || readPerformanceSetup(settings.countersFile, settings.rulesFile));
}

void Tarnwick::describeConfiguration(std::ostream& out) const {
  if (!checkedSettings_) return;
  const MeteringSettings& settings = *checkedSettings_;
  auto every = [](const TimeSpan& interval) {
    std::int64_t seconds = interval.getSeconds();
    for (auto [unit, length] :
         {std::pair<const char*, std::int64_t>{"d", 86400}, {"h", 3600}, {"min", 60}}) {
      if (seconds % length == 0) return "every " + std::to_string(seconds / length) + " " + unit;
    }
    return "every " + std::to_string(seconds) + " s";
  };
  const char* sources[] = {settings.polling ? "polls alone" : "none: nothing is metered",
                           "kernel process events", "the process-event driver"};
  out << "working folder:   " << TextUtils::shown(workingDirectory_) << "\n";
  out << "event source:     " << sources[static_cast<int>(settings.source)]
      << (settings.eventsWanted && settings.source == EventSource::kNone
              ? " (events were asked for, but cannot be had)"
              : "")
      << "\n";
  out << "polling:          " << (settings.polling ? every(settings.pollInterval) : "off") << "\n";
  out << "module data:      "
      << (settings.moduleData ? "on, filter " + TextUtils::shown(settings.moduleFilterFile)
                              : std::string("off"))
      << "\n";
  out << "performance:      "
      << (settings.performance ? every(settings.performanceInterval) + ", counters " +
                                     TextUtils::shown(settings.countersFile) + ", rules " +
                                     TextUtils::shown(settings.rulesFile)
                               : std::string("off"))
      << "\n";
  out << "streams:          process (ProcessLog) " << every(deliveryInterval_);
  if (settings.moduleData) out << "; module (ModuleLog) " << every(deliveryInterval_);
  if (settings.performance) out << "; perfmon (PerfMonLog) " << every(perfMonInterval_);
  out << "\n";
}

bool Tarnwick::startSources(const MeteringSettings& settings) {
  poller_->configure(settings.pollInterval, settings.source, settings.polling);
  eventSource_.store(settings.source);
  polling_.store(settings.polling);
  eventsWanted_.store(settings.eventsWanted);
  pollSeconds_.store(settings.pollInterval.getSeconds());
  if (settings.polling && !poller_->prepare(threads())) return false;
  std::shared_ptr<const ModuleFilter> moduleFilter;
  if (settings.moduleData && !(moduleFilter = readModuleFilter(settings.moduleFilterFile))) {
    return false;
  }
  // Switched off, the tables would hold stretches across the time nothing was recorded.
  if (!settings.moduleData) processMap_->forgetModules();
  processMap_->moduleLog().configure(moduleFilter);
  if (settings.moduleData && settings.moduleInterval.getSeconds() > 0) {
    modulePoller_->configure(settings.moduleInterval);
    if (!modulePoller_->prepare(threads())) return false;
  }
  std::shared_ptr<const PerformanceSetup> performanceSetup;
  if (settings.performance &&
      !(performanceSetup = readPerformanceSetup(settings.countersFile, settings.rulesFile))) {
    return false;
  }
  processMap_->perfMonLog().configure(performanceSetup);
  // From where the records written before a reconfiguration end.
  processMap_->remeasure(measuredUntil_ != 0 ? measuredUntil_ : DateTime().getValue());
  if (settings.performance) {
    performanceMonitor_->configure(settings.performanceInterval);
    if (!performanceMonitor_->prepare(threads())) return false;
  }
  if (settings.source != EventSource::kKernelTrace) eventTracer_->endSession();
  if (settings.source == EventSource::kKernelTrace) {
    eventTracer_->configure(traceBufferKilobytes_);
    if (!eventTracer_->prepare(threads())) return false;
  }
  // A driver that queues for nobody would only fill its queue.
  if (settings.source != EventSource::kKernelDriver) {
    kernelDriver_.reset();
    driverTracer_->dropDevice();
  }
  // The source alone holds the device: one it lets go of (the driver was lost) is closed.
  return settings.source != EventSource::kKernelDriver ||
         driverTracer_->prepare(threads(), std::move(kernelDriver_));
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
  const std::string events = kEventsKey;
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
    if (platform::Status permitted = env().kernelTrace().permitted(); !permitted) {
      // Without the right to trace, this system has no kernel trace session for the agent.
      programLogger_->warning(22, errorName(permitted.code()));
      pollInstead();
      return EventSource::kNone;
    }
    logger().debug(1, "   Will be using native W2K/XP event logger.");
    return EventSource::kKernelTrace;
  };
  if (boolOr(reader(), events + ".kernel-driver", false)) {
    logger().debug(1, "   Will be using the kernel driver to get process events.");
    // The device in use is kept across a reconfiguration: a driver serves one client.
    // The check opens no device: the driver serves one client, the agent that runs.
    if (checking()) return EventSource::kKernelDriver;
    if (driverTracer_) kernelDriver_ = driverTracer_->device();
    if (kernelDriver_ && kernelDriver_->isOpen()) return EventSource::kKernelDriver;
    platform::Expected<std::unique_ptr<platform::Device>> opened =
        env().openDevice(kDriverDeviceName);
    if (opened) {
      kernelDriver_ = std::move(opened.value());
      return EventSource::kKernelDriver;
    }
    kernelDriver_.reset();
    programLogger_->warning(15, errorName(opened.error()));
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
    if (std::shared_ptr<const ModuleFilter> running =
            processMap_ ? processMap_->moduleLog().filter() : nullptr) {
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
  if (std::shared_ptr<const PerformanceSetup> running =
          processMap_ ? processMap_->perfMonLog().setup() : nullptr) {
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

}  // namespace Vantor
