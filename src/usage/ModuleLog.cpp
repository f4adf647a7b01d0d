#include "usage/ModuleLog.h"

#include "usage/RecordFields.h"

namespace Vantor {

ModuleLog::ModuleLog(const LoggerUnit& logger, const PrimeTime& primeTime, DataStreams& streams,
                     const InventoryOps::StaticInfo& facts)
    : logger_(logger), primeTime_(primeTime), streams_(streams), facts_(facts) {}

void ModuleLog::configure(std::shared_ptr<const ModuleFilter> filter) {
  platform::MutexLock lock(&mutex_);
  enabled_.store(filter != nullptr);
  filter_ = std::move(filter);
}

std::shared_ptr<const ModuleFilter> ModuleLog::filter() const {
  platform::MutexLock lock(&mutex_);
  return filter_;
}

void ModuleLog::writeModuleRecord(const Process& process, const ModuleRecord& module) const {
  std::shared_ptr<const ModuleFilter> filter = this->filter();
  if (filter && !filter->matchModuleFilter(Process::computerName(), module.name)) {
    logger_.debug(5, "   \"%s\" does not match any filter. Not logging.", module.name);
    return;
  }
  logger_.debug(5, "   \"%s\" matches a filter. Logging.", module.name);
  ExecutableFields executable = executableFields(process.executable());
  std::string record = "1:" + std::to_string(module.firstSeen) + ":53";
  for (const std::string& field :
       {facts_.domain, facts_.computerName, facts_.architecture, facts_.osName,
        recordField(module.name), executable.file, recordField(process.productName()),
        executable.directory,
        std::string(PrimeTime::className(primeTime_.classify(process.startTime()))),
        recordField(process.fullUserName())}) {
    record += ":0:" + field;
  }
  record += "\n1:" + std::to_string(module.lastSeen - module.firstSeen);
  std::shared_ptr<LogFile> stream = streams_.getLogFile("module");
  if (!stream) {
    logger_.critical(4, "module");
    return;
  }
  stream->writeRecord(record);
}

}  // namespace Vantor
