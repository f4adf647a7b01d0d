#include "usage/DataStreams.h"

#include <vector>

#include "foundation/Exception.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

DataStreams::DataStreams(platform::Env& env, std::shared_ptr<LogSender> sender)
    : env_(env), sender_(sender), logger_(std::move(sender), kModuleAgent) {}

void DataStreams::registerLogFile(const std::string& base, const std::string& id,
                                  const TimeSpan& interval, bool onDemand, Hook hook) {
  platform::MutexLock lock(&mutex_);
  if (entries_.count(id) != 0) return;
  Entry entry;
  entry.logFile = std::make_shared<LogFile>(env_, sender_);
  entry.logFile->setName(base);
  entry.interval = interval;
  entry.onDemand = onDemand;
  entry.hook = std::move(hook);
  entries_.emplace(id, std::move(entry));
}

std::shared_ptr<LogFile> DataStreams::getLogFile(const std::string& id) const {
  logger_.debug(5, "Getting log file for ID=" + id + ".");
  platform::MutexLock lock(&mutex_);
  auto found = entries_.find(id);
  if (found == entries_.end()) {
    logger_.debug(5, "Log file not found.");
    return nullptr;
  }
  logger_.debug(5, "Found log file.");
  return found->second.logFile;
}

bool DataStreams::releaseLogFile(const std::string& id) {
  logger_.debug(1, "Releasing log file for %s...", id);
  std::shared_ptr<LogFile> logFile = getLogFile(id);
  if (logFile) {
    try {
      logFile->end();
    } catch (const platform::ThreadCancellation&) {
      throw;
    } catch (...) {
      logger_.error(13, logFile->name());
    }
  }
  logger_.debug(1, "Log file released.");
  return true;
}

void DataStreams::deliverAll(bool force) {
  logger_.debug(1, "Now delivering all data...");
  std::vector<std::pair<std::string, Hook>> due;
  {
    platform::MutexLock lock(&mutex_);
    for (const auto& [id, entry] : entries_) {
      if (!entry.onDemand || force) due.emplace_back(id, entry.hook);
    }
  }
  deliver(due);
}

void DataStreams::clear() {
  std::map<std::string, Entry> old;
  {
    platform::MutexLock lock(&mutex_);
    old.swap(entries_);
    for (const auto& [id, entry] : old) {
      history_[id].recordsWritten += entry.logFile->recordsWritten();
    }
  }
  // Destroying the streams ends their files outside the lock.
}

void DataStreams::applyGlobalInterval(const TimeSpan& interval) {
  platform::MutexLock lock(&mutex_);
  for (auto& [id, entry] : entries_) {
    if (entry.interval.getSeconds() == 0) entry.interval = interval;
  }
}

void DataStreams::deliveryPass(const DateTime& now) {
  std::vector<std::pair<std::string, Hook>> due;
  {
    platform::MutexLock lock(&mutex_);
    for (auto& [id, entry] : entries_) {
      if (entry.interval.getSeconds() <= 0) continue;
      if (entry.lastDelivered.isZero()) {
        entry.lastDelivered = now;
        entry.lastDelivered.alignDown(entry.interval);
        continue;
      }
      if (entry.lastDelivered + entry.interval > now) continue;
      entry.lastDelivered += entry.interval;
      if (entry.lastDelivered + entry.interval <= now) {
        // Asleep over several boundaries: one delivery, then back on the grid.
        entry.lastDelivered = now;
        entry.lastDelivered.alignDown(entry.interval);
        logger_.debug(5, "Adjusted LastDelivered time of %s after resuming.", id);
      }
      due.emplace_back(id, entry.hook);
    }
  }
  deliver(due);
}

void DataStreams::deliver(const std::vector<std::pair<std::string, Hook>>& due) {
  // Hooks write records into the streams (a dump of the processes writes their module
  // records too), so every hook runs before any file is ended; without the registry lock.
  for (const auto& [id, hook] : due) {
    if (hook) hook();
  }
  for (const auto& [id, hook] : due) releaseLogFile(id);
  platform::MutexLock lock(&mutex_);
  for (const auto& [id, hook] : due) history_[id].lastDelivery = DateTime();
}

std::vector<DataStreams::StreamStatus> DataStreams::status() const {
  platform::MutexLock lock(&mutex_);
  std::map<std::string, StreamStatus> all = history_;
  for (const auto& [id, entry] : entries_) {
    StreamStatus& stream = all[id];
    stream.recordsWritten += entry.logFile->recordsWritten();
    if (entry.interval.getSeconds() > 0 && !entry.lastDelivered.isZero()) {
      stream.nextDelivery = entry.lastDelivered + entry.interval;
    }
  }
  std::vector<StreamStatus> streams;
  for (auto& [id, stream] : all) {
    stream.id = id;
    streams.push_back(std::move(stream));
  }
  return streams;
}

}  // namespace Vantor
