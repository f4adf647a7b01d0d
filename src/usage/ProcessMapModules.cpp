// The map's processes as the module and performance records see them: module passes that
// read without the map's lock, stretches restarted at a reconfiguration, and the processes the
// performance monitor measures.
#include <vector>

#include "foundation/FileUtils.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "usage/ProcessMap.h"

namespace Vantor {

namespace {

// A process of the map as a module look found it, and its modules as read afterwards.
struct ModuleReading {
  ProcessRef entry;
  std::uint32_t pid = 0;
  std::uint64_t startStamp = 0;
  std::string program;  // the executable's base name, as module names are
  std::uint64_t programMark = 0;
  std::uint64_t moduleUpdates = 0;
  // Set by readModules: whether the look stands, its names and its second.
  bool stands = false;
  std::vector<std::string> names;
  std::int64_t readAt = 0;
};

// Reads through a handle of its own: the entry's belongs to whoever holds the map. A process
// this user may not read lists no modules, and they end at this look; one that has ended (its
// end handling records its modules, up to its end) or runs another program is left alone.
void readModules(platform::Env& env, ModuleReading& reading) {
  reading.readAt = DateTime().getValue();
  platform::Expected<std::unique_ptr<platform::ProcessHandle>> opened =
      env.openProcess(reading.pid, reading.startStamp);
  if (!opened) {
    reading.stands = opened.error() == platform::kErrorAccessDenied;
    return;
  }
  const platform::ProcessHandle& handle = *opened.value();
  if (platform::Status listed = Process::moduleNames(handle, reading.names); !listed) {
    reading.names.clear();
    reading.stands = listed.code() == platform::kErrorAccessDenied;
    return;
  }
  // The same program, even when its file was renamed since; a process first seen where its
  // mark could not be read is known by its executable's name.
  std::uint64_t mark = 0;
  bool sameProgram = reading.programMark != 0
                         ? handle.programMark(&mark) && mark == reading.programMark
                         : !reading.names.empty() && reading.names.front() == reading.program;
  reading.stands = handle.isRunning() && !reading.names.empty() && sameProgram;
}

}  // namespace

void ProcessMap::refreshModules(const std::string& caller) {
  std::vector<ModuleReading> readings;
  {
    Hold hold(*this);
    if (!hold.take(caller.c_str())) {
      logger_.warning(23, caller);
      return;
    }
    for (const auto& [pid, entry] : processes_) {
      ModuleReading& reading = readings.emplace_back();
      reading.entry = entry;
      reading.pid = pid;
      reading.startStamp = entry->startStamp();
      reading.program = FileUtils::foldCase(FileUtils::baseName(entry->executable()));
      reading.programMark = entry->programMark();
      reading.moduleUpdates = entry->moduleUpdates();
    }
  }

  for (ModuleReading& reading : readings) readModules(env_, reading);

  Hold hold(*this);
  if (!hold.take(caller.c_str())) {
    logger_.warning(23, caller);
    return;
  }
  for (ModuleReading& reading : readings) {
    const ProcessRef& entry = reading.entry;
    auto found = processes_.find(reading.pid);
    // Ended and logged meanwhile, or looked at since: what was read is stale.
    if (!reading.stands || found == processes_.end() || found->second != entry ||
        entry->moduleUpdates() != reading.moduleUpdates) {
      continue;
    }
    for (const ModuleRecord& record :
         entry->updateModules(std::move(reading.names), reading.readAt)) {
      moduleLog_.writeModuleRecord(*entry, record);
    }
  }
}

void ProcessMap::restartModuleStretches() {
  if (!moduleLog_.enabled()) return;
  Hold hold(*this);
  if (!hold.take("restartModuleStretches")) return;
  std::int64_t now = DateTime().getValue();
  for (const auto& [pid, entry] : processes_) {
    for (const ModuleRecord& record : entry->restartModules(now)) {
      moduleLog_.writeModuleRecord(*entry, record);
    }
  }
}

void ProcessMap::forgetModules() {
  Hold hold(*this);
  if (!hold.take("forgetModules")) return;
  for (const auto& [pid, entry] : processes_) entry->forgetModules();
}

void ProcessMap::remeasure(std::int64_t since) {
  Hold hold(*this);
  if (!hold.take("remeasure")) return;
  for (const auto& [pid, entry] : processes_) perfMonLog_.registerIfMeasured(entry, since);
}

std::int64_t ProcessMap::dumpPerfMon() {
  logger_.debug(1, "Dumping performance data...");
  DateTime start;
  Hold hold(*this);
  if (!hold.take("dumpPerfMon")) {
    logger_.warning(23, "dumpPerfMon");
    return start.getValue();
  }
  for (const auto& [pid, entry] : processes_) logPerformance(entry, start.getValue());
  DateTime finish;
  logger_.debug(1, "All performance data has now been dumped. It took %s time.",
                (finish - start).toString());
  return start.getValue();
}

std::vector<ProcessRef> ProcessMap::measuredEntries() const {
  std::vector<ProcessRef> measured;
  for (const auto& [pid, entry] : processes_) {
    if (entry->measured()) measured.push_back(entry);
  }
  return measured;
}

bool ProcessMap::holds(const ProcessRef& entry) const {
  auto found = processes_.find(entry->pid());
  return found != processes_.end() && found->second == entry;
}

}  // namespace Vantor
