#include "sources/ModulePoller.h"

#include "sources/PeriodicWorker.h"

namespace Vantor {

namespace {

// A process of the map as the pass found it, and its modules as read afterwards.
struct Reading {
  ProcessRef entry;
  std::uint32_t pid = 0;
  std::uint64_t startStamp = 0;
  bool ended = false;
  std::uint64_t moduleUpdates = 0;
  std::vector<std::string> names;
  std::int64_t readAt = 0;
};

// Reads through a handle of its own: the entry's belongs to whoever holds the map.
void readModules(Reading& reading) {
  reading.readAt = DateTime().getValue();
  platform::ProcessHandle handle;
  // A process that cannot be read lists no modules: they end at this pass.
  if (reading.ended || !handle.open(reading.pid, reading.startStamp) ||
      !Process::moduleNames(handle, reading.names)) {
    reading.names.clear();
  }
}

}  // namespace

ModulePoller::ModulePoller(const LoggerUnit& logger, ProcessMap& processMap)
    : logger_(logger), processMap_(processMap) {}

bool ModulePoller::prepareModulePoller(ThreadTable& threads) {
  logger_.debug(2, "Preparing module poller thread...");
  ThreadEntry& row = threads.addThread("ModulePoller", TF_REPORTS, [this](ThreadEntry& entry) {
    return runPeriodicWorker(
        entry, logger_,
        {interval_, nullptr, [this] { pollModules(); }, "ERROR while running modulePoller thread"});
  });
  if (!row.job) {
    logger_.critical(21, "prepare module poller");
    return false;
  }
  logger_.debug(3, "   Done.");
  return true;
}

void ModulePoller::pollModules() {
  logger_.debug(5, "Polling modules...");
  if (!processMap_.checkOutAll()) {
    logger_.warning(23, "modPoll");
    return;
  }
  std::vector<Reading> readings;
  for (const ProcessRef& entry : processMap_.entries()) {
    Reading& reading = readings.emplace_back();
    reading.entry = entry;
    reading.pid = entry->pid();
    reading.startStamp = entry->startStamp();
    reading.ended = entry->state() == ProcessState::Ended;
    reading.moduleUpdates = entry->moduleUpdates();
  }
  processMap_.checkInAll();

  for (Reading& reading : readings) readModules(reading);

  if (!processMap_.checkOutAll()) {
    logger_.warning(23, "modPoll");
    return;
  }
  for (Reading& reading : readings) {
    const ProcessRef& entry = reading.entry;
    // Ended and logged meanwhile, or looked at since by a dump: what was read is stale.
    if (!processMap_.holds(entry) || entry->moduleUpdates() != reading.moduleUpdates) continue;
    for (const ModuleRecord& record :
         entry->updateModules(std::move(reading.names), reading.readAt)) {
      processMap_.moduleLog().writeModuleRecord(*entry, record);
    }
  }
  processMap_.checkInAll();
  logger_.debug(5, "   Done polling modules.");
}

}  // namespace Vantor
