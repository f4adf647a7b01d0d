#include "runtime/Agent.h"

#include <iostream>
#include <map>

#include "concurrency/ProcessFlags.h"
#include "config/ConfigureLogging.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/SystemInfo.h"
#include "foundation/TextUtils.h"
#include "ipc/LogMessengerIPC.h"
#include "logging/MessageCatalogue.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/Mailslot.h"
#include "platform/Registry.h"
#include "platform/Thread.h"
#include "usage/DataDelivery.h"

namespace Vantor {

Agent::Agent(platform::Env& env, std::string name, Arguments arguments)
    : env_(env), name_(std::move(name)), arguments_(std::move(arguments)) {}

Agent::~Agent() {
  if (streams_) streams_->clear();
  threads_.reset();
  instanceLock_.reset();
}

bool Agent::refuseStart(const std::string& why) {
  if (startFailure_.empty()) {
    std::string log = logging_ ? logging_->writer->path() : std::string();
    // The check writes no log.
    startFailure_ = why + (log.empty() || checking() ? "" : " The log is " + log + ".");
  }
  if (logging_) logger().debug(1, "Cannot start: %s", why);
  return false;
}

bool Agent::othersMayChange(const std::string& what, const std::string& path) {
  std::string why = env_.fileSystem().whyOthersMayChange(path);
  if (why.empty()) return false;
  std::uint32_t self = env_.userId();
  refuseStart("Refusing " + what + " " + path + ": " + why +
              " Another user could change what the agent reads or where it writes; use a "
              "place that only root" +
              (self == 0 ? std::string() : " and user " + std::to_string(self)) + " may change.");
  return true;
}

bool Agent::othersMayChangeFilesIn(const std::string& what, const std::string& folder,
                                   const std::string& pattern) {
  if (othersMayChange(what, folder)) return true;
  // A file of its own may be open to all in a folder that is not.
  std::vector<FileOps::ListEntry> files;
  FileOps::list(env_, folder + pattern, &files);
  for (const FileOps::ListEntry& file : files) {
    if (othersMayChange(what, folder + file.name)) return true;
  }
  return false;
}

bool Agent::startLoggingOnce() {
  if (logging_) return true;
  std::string debugLog;
  if (SystemInfo::getResourceString(env_.registry(), name_ + "DebugLog", debugLog) !=
          SystemInfo::RESOURCE_OK ||
      debugLog.empty()) {
    debugLog = name_ + "Debug.log";
  }
  logging_ =
      startLogging(env_, FileUtils::dirName(debugLog), FileUtils::baseName(debugLog),
                   [this](std::shared_ptr<LogWriter> writer) -> std::shared_ptr<LogMessenger> {
                     if (checking()) return problems_;
                     return std::make_shared<LogMessengerIPC>(std::move(writer));
                   });
  if (logging_ && !checking()) {
    logging_->messenger->copyWarningsToJournal(env_.serviceManager().standardErrorIsJournal());
  }
  // Checked before the first line: the folder must not let another user point the file
  // elsewhere.
  if (logging_) {
    std::string folder = FileUtils::dirName(logging_->writer->path());
    std::optional<Logging> started = std::move(logging_);
    logging_.reset();  // the refusal names no log that was never written
    if (othersMayChange("the log folder", folder)) return false;
    logging_ = std::move(started);
  }
  if (logging_ && !checking() && !logging_->writer->canWrite()) {
    // The agent meters all the same, and every later line tries the file again.
    std::cerr << (env_.serviceManager().standardErrorIsJournal() ? "<4>" : "")
              << TextUtils::lowered(name_) << ": cannot write the log file "
              << TextUtils::shown(logging_->writer->path()) << "; going on without it for now."
              << std::endl;
  }
  return logging_.has_value();
}

bool Agent::loadLogMessages() {
  logger().debug(1, "Loading log messages...");
  std::string directory;
  if (reader_->getDirName("Vantor.directories.conf", directory) != ConfReader::CONF_OK) {
    logger().error(9, "Vantor.directories.conf");
    return true;
  }
  if (othersMayChangeFilesIn("the message catalogue folder",
                             FileUtils::ensureTrailingSeparator(directory) + "LogMessages/",
                             "*.mess")) {
    return false;
  }
  CatalogueLoad load =
      loadMessages(env_, directory, TextUtils::lowered(name_) + ",configuration,agent");
  if (load.status != 1) {
    logger().error(6, load.error);
    return true;
  }
  std::map<std::string, std::vector<LineProblem>> problemsByFile;
  for (const auto& [file, problem] : load.problems) problemsByFile[file].push_back(problem);
  for (const auto& [file, problems] : problemsByFile) warnOfLines(17, file, problems);
  for (const auto& [module, count] : load.loaded) {
    logger().debug(2, "Loaded %i messages for module \"%s\".", count, module);
  }
  if (load.loaded.empty()) logger().debug(1, "No log messages were loaded.");
  for (const std::string& module : load.skipped) {
    logger().debug(2, "Messages for module \"%s\" were rejected.", module);
  }
  return true;
}

bool Agent::configure() {
  std::string lowerName = TextUtils::lowered(name_);
  if (programFromName(lowerName) == 0 || moduleFromName(lowerName) == kNoModule) return false;
  if (std::string file = env_.registry().file();
      !file.empty() && othersMayChange("the registry file", file)) {
    return false;
  }
  if (!startLoggingOnce()) {
    if (!startFailure_.empty()) return false;
    return refuseStart("No log file is set: " + env_.registry().location() +
                       " is missing, unreadable, or names no \"" + name_ +
                       "DebugLog\" nor \"StartupLogDir\". Install one (tools/make-installation "
                       "makes a private installation).");
  }
  if (std::string folder = env_.namedObjectsFolder();
      !folder.empty() && othersMayChange("the runtime folder", folder)) {
    return false;
  }
  // The check leaves the instance lock to the agent that runs.
  if (!instanceLock_ && !checking()) {
    // Only this user may hold it: nobody else can keep the agent from starting.
    instanceLock_.emplace(env_, name_, platform::MutexTakers::kThisUser);
  }
  if (instanceLock_ && !instanceLock_->isHeld()) {
    if (platform::Status taken = instanceLock_->tryTake(); !taken) {
      std::uint32_t error = taken.code();
      if (error == platform::kErrorAlreadyExists) {
        logger().fatal(14, name_);
        return refuseStart("Another " + lowerName + " runs already on this machine as this user.");
      }
      std::string refusal = env_.namedObjectsRefusal();
      return refuseStart("Could not take the single-instance lock " + instanceLock_->name() + ": " +
                         (refusal.empty() ? env_.errorText(error) : refusal));
    }
  }
  if (!threads_) threads_ = std::make_unique<ThreadTable>(sender());
  if (!streams_) streams_ = std::make_shared<DataStreams>(env_, sender());

  if (SystemInfo::getResourceString(env_.registry(), "ConfigurationDir", configurationDirectory_) !=
      SystemInfo::RESOURCE_OK) {
    logger().debug(1, "Could not get configuration dir from system.");
    return refuseStart("No configuration directory is set: " + env_.registry().location() +
                       " is missing, unreadable, or has no \"ConfigurationDir\" value. Install "
                       "one (tools/make-installation makes a private installation).");
  }
  configurationDirectory_ =
      FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(configurationDirectory_));
  if (othersMayChange("the configuration folder", configurationDirectory_)) return false;

  // A file named on the command line is the configuration for the whole run: every
  // reconfiguration reads it again.
  if (!arguments_.empty() && arguments_.front().first == "c") {
    namedConfigurationFile_ = arguments_.front().second;
    arguments_.erase(arguments_.begin());
  }
  if (othersMayChange("the configuration file", configurationFile())) return false;
  if (nextReader_) {
    reader_ = std::move(nextReader_);  // read whole by reconfigure()
  } else {
    reader_ = std::make_shared<ConfReader>(sender());
    if (!reader_->build(env_, configurationFile()) && !configuredOnce_) {
      return refuseStart("The configuration file " + configurationFile() +
                         " could not be read, or has an error; mend it and start again.");
    }
  }
  if (!loadLogMessages()) return false;
  if (std::string folder;
      reader_->getDirName("Vantor.directories.log", folder) == ConfReader::CONF_OK &&
      othersMayChange("the log folder", folder)) {
    return false;
  }
  if (!checking()) configureLogging(*reader_, *logging_->writer);

  std::int32_t level = 0;
  if (reader_->getInteger(lowerName + ".log.debug-level", level) == ConfReader::CONF_OK) {
    setDebugLevel(level);
  }

  std::string primeTimeFile = configurationDirectory_ + "primetime";
  reader_->getFileName(lowerName + ".primetime-file", primeTimeFile);
  primeTimeFile = FileUtils::normaliseSeparators(primeTimeFile);
  if (othersMayChange("the prime-time calendar", primeTimeFile) ||
      othersMayChange("the accounts", configurationDirectory_ + "accounts.conf") ||
      othersMayChangeFilesIn("the accounts folder", configurationDirectory_ + "accounts/",
                             "*.conf")) {
    return false;
  }
  std::vector<LineProblem> calendarLines;
  if (FileOps::exists(env_, primeTimeFile) &&
      !primeTime_.loadPrimeTime(env_, primeTimeFile, &calendarLines)) {
    logger().fatal(5, "GENERAL");
    return refuseStart("The prime-time calendar " + primeTimeFile + " could not be loaded.");
  }
  staticInfo_ = InventoryOps::getStaticInfo(env_.systemFacts());
  warnOfLines(15, primeTimeFile, calendarLines);
  std::vector<LineProblem> accountLines;
  accounts_.loadAccounts(configurationDirectory_, &accountLines);
  warnOfLines(16, configurationDirectory_ + "accounts.conf", accountLines);
  if (!configuredOnce_) mainThreadId.store(platform::currentThreadId());
  configuredOnce_ = true;

  if (!configureProgram()) return refuseStart("The configuration could not be applied.");
  if (checking()) return true;
  prepareDataDelivery(*threads_, streams_, deliveryInterval_, sender());
  logger().debug(1, "Finished configuring.");
  return true;
}

void Agent::warnOfLines(std::int32_t message, const std::string& file,
                        const std::vector<LineProblem>& problems) const {
  // A file of nothing but bad lines must not flood the log.
  constexpr std::size_t kLinesTold = 20;
  for (std::size_t i = 0; i < problems.size() && i < kLinesTold; ++i) {
    logger().warning(message, file, static_cast<std::int64_t>(problems[i].line),
                     problems[i].reason);
  }
  if (problems.size() > kLinesTold) {
    logger().warning(message, file, static_cast<std::int64_t>(problems[kLinesTold].line),
                     "and " + std::to_string(problems.size() - kLinesTold) +
                         " more lines from here on that are not understood");
  }
}

std::string Agent::logFile() const {
  std::string directory;
  if (reader_ && reader_->getDirName("Vantor.directories.log", directory) == ConfReader::CONF_OK) {
    return directory + FileUtils::baseName(logging_->writer->path());
  }
  return logging_ ? logging_->writer->path() : std::string();
}

bool Agent::check(std::ostream& out) {
  problems_ = std::make_shared<ProblemCollector>(
      std::make_shared<LogWriter>(env_, std::string(), TextUtils::lowered(name_)));
  bool starts = configure();
  // Paths come from files an administrator wrote: shown, never as control characters.
  out << TextUtils::lowered(name_) << ": checked " << TextUtils::shown(configurationFile()) << "\n";
  if (logging_ && reader_) {
    out << "registry:         " << TextUtils::shown(env_.registry().location()) << "\n";
    out << "configuration:    " << TextUtils::shown(configurationDirectory_) << "\n";
    out << "log:              " << TextUtils::shown(logFile()) << "\n";
    describeConfiguration(out);
  }
  std::string registryFile = env_.registry().file();
  for (const std::string& damage : env_.registry().damage()) {
    problems_->add(registryFile + ": " + damage);
  }
  if (reader_) {
    if (std::optional<ConfReader::SyntaxError> error = reader_->syntaxError()) {
      problems_->add(configurationFile() + ":" + std::to_string(error->line) + ": " +
                     error->reason);
    }
  }
  if (!starts) problems_->add("the agent would not start: " + startFailure_);
  std::vector<std::string> problems = problems_->problems();
  out << "problems:         " << (problems.empty() ? "none" : std::to_string(problems.size()))
      << "\n";
  for (const std::string& problem : problems) out << "  " << TextUtils::shown(problem) << "\n";
  out << TextUtils::lowered(name_) << ": "
      << (starts ? "the agent would start" : "the agent would refuse to start") << std::endl;
  return starts;
}

std::string Agent::configurationFile() const {
  return namedConfigurationFile_.empty()
             ? configurationDirectory_ + TextUtils::lowered(name_) + ".conf"
             : namedConfigurationFile_;
}

bool Agent::reconfigure() {
  reconfigureFlag.store(false);
  // A file that cannot be read whole leaves the running configuration alone: half of it, or
  // none, would put defaults in its place and could stop the metering. The reader that read it
  // whole is the one configure() uses, so the file is read once.
  auto next = std::make_shared<ConfReader>(sender());
  if (!next->build(env_, configurationFile())) {
    logger().debug(1, "The configuration was not read again: the file could not be read whole.");
    return true;
  }
  nextReader_ = std::move(next);
  beforeReconfiguring();
  threads_->stopThreads();
  threads_->awaitStopped(ThreadTable::kStopGrace);
  if (!threads_->verifyStoppedThreads()) return false;
  threads_->clear();
  streams_->clear();
  return configure() && threads_->startThreads();
}

}  // namespace Vantor
