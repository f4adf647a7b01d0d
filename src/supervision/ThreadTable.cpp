#include "supervision/ThreadTable.h"

#include <algorithm>

#include "concurrency/ProcessFlags.h"
#include "foundation/Exception.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

// Runs a job-layer action; an error escaping it is logged at debug level 1 and its text
// (or "UNKNOWN" for a foreign error) handed to report. False when it failed.
template <typename Action, typename Report>
bool attempt(const LoggerUnit& logger, Action&& action, Report&& report) {
  std::string text;
  try {
    action();
    return true;
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (const Exception& error) {
    text = error.getFullText();
  } catch (...) {
    text = "UNKNOWN";
  }
  logger.debug(1, text);
  report(text);
  return false;
}

}  // namespace

ThreadTable::ThreadTable(std::shared_ptr<LogSender> sender)
    : logger_(std::move(sender), kModuleAgent) {}

ThreadTable::~ThreadTable() { clear(); }

ThreadEntry& ThreadTable::addThread(const std::string& name, std::uint16_t flags,
                                    Procedure procedure) {
  auto row = std::make_unique<ThreadEntry>(name, flags);
  ThreadEntry* argument = row.get();
  row->job = std::make_shared<ThreadInstance>(
      [argument, procedure = std::move(procedure)] { return procedure(*argument); });
  rows_.push_back(std::move(row));
  return *rows_.back();
}

void ThreadTable::callKillHook(const ThreadEntry& row) const {
  if (killHook_) killHook_(row.job->threadId());
}

bool ThreadTable::startThreads() {
  logger_.debug(2, "Starting threads...");
  std::int64_t started = 0;
  std::int64_t failed = 0;
  for (auto& row : rows_) {
    bool ok = attempt(
        logger_, [&] { row->job->execute(); },
        [&](const std::string& text) {
          logger_.error(8, row->name, text);
          row->status.store(ST_DOWN);
        });
    if (!ok) {
      ++failed;
      continue;
    }
    ++started;
    row->status.store(ST_OK);
    row->lastOk = DateTime();
    if (!row->name.empty()) logger_.debug(4, "   Started \"%s\".", row->name);
  }
  logger_.debug(2, "   Started %i thread(s), and failed to start %i.", started, failed);
  if (failed > 0) logger_.fatal(11);
  return failed == 0;
}

void ThreadTable::stopThreads() {
  logger_.debug(2, "Stopping threads...");
  std::int64_t signalled = 0;
  std::int64_t stopped = 0;
  std::int64_t killed = 0;
  for (auto& row : rows_) {
    if (row->status.load() == ST_DOWN) continue;
    if (row->flags & TF_REPORTS) {
      row->requestStop();
      ++signalled;
      continue;
    }
    auto stopFailed = [&](const std::string& text) {
      logger_.fatal(7, row->name, text);
      row->status.store(ST_OK);
    };
    auto grace = static_cast<std::uint32_t>(row->stopGrace.count());
    if (attempt(
            logger_, [&] { row->job->stop(0xFFFFFFFFu, grace); }, stopFailed)) {
      row->status.store(ST_DOWN);
      ++(row->job->status() == JobInstance::JS_ENDED_ON_REQUEST ? stopped : killed);
    }
  }
  logger_.debug(2, "   %i thread(s) signalled to stop, %i stopped on request, %i killed.",
                signalled, stopped, killed);
}

bool ThreadTable::awaitStopped(std::chrono::milliseconds wait) {
  auto begun = std::chrono::steady_clock::now();
  for (auto& row : rows_) {
    auto deadline = begun + std::max(wait, row->stopGrace);
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (!row->job->awaitEnd(static_cast<std::uint32_t>(std::max<std::int64_t>(left.count(), 0)))) {
      return false;
    }
  }
  return true;
}

bool ThreadTable::verifyStoppedThreads() {
  logger_.debug(2, "Verifying stopped threads...");
  std::int64_t nicely = 0;
  std::int64_t killed = 0;
  std::int64_t failed = 0;
  for (auto& row : rows_) {
    if (row->job->status() != JobInstance::JS_RUNNING) {
      ++nicely;
      continue;
    }
    auto stopFailed = [&](const std::string& text) {
      logger_.fatal(7, row->name, text);
      row->status.store(ST_OK);
    };
    bool ended = attempt(
                     logger_, [&] { row->job->terminate(); }, stopFailed) &&
                 row->job->status() != JobInstance::JS_RUNNING;
    callKillHook(*row);
    ++(ended ? killed : failed);
  }
  logger_.debug(2, "   %i thread(s) ended nicely, %i was killed, and %i failed to end.", nicely,
                killed, failed);
  if (failed > 0) logger_.fatal(12);
  return failed == 0;
}

bool ThreadTable::monitorThreads() {
  logger_.debug(5, "Monitoring threads...");
  if (LogSettings::debugLevel.load(std::memory_order_relaxed) > 2) {
    logger_.debug(3, initiating_ ? "   Initiating..." : "   Checking...");
  }
  bool allWell = true;
  for (auto& row : rows_) {
    logger_.debug(5, "   Now checking thread \"%s\"...", row->name);
    if (row->job->status() != JobInstance::JS_RUNNING) {
      logger_.debug(5, "   \"%s\" is down.", row->name);
      row->status.store(ST_DOWN);
      allWell = false;
      continue;
    }
    bool reports = (row->flags & TF_REPORTS) != 0;
    if (initiating_) {
      if (reports) {
        row->report.store(REPORT_REQUESTED);
        row->wakeUp->set();  // a pausing worker answers now, not at the end of its pause
      }
      row->lastOk = DateTime();
      continue;
    }
    row->status.store(ST_OK);
    switch (reports ? row->report.load() : REPORT_RUNNING) {
      case REPORT_REQUESTED:
        logger_.debug(5, "   \"%s\" is silent.", row->name);
        row->status.store(ST_SILENT);
        allWell = false;
        break;
      case REPORT_FATAL:
        logger_.debug(5, "   \"%s\" is fatal.", row->name);
        allWell = false;
        break;
      case REPORT_QUITTING:
        logger_.debug(5, "   \"%s\" is waiting for quit signal.", row->name);
        if (!quitFlag.load()) {
          logger_.debug(5, "      We are not quitting. Thread is under a magic spell.");
        }
        row->lastOk = DateTime();
        break;
      default:
        row->lastOk = DateTime();
        break;
    }
  }
  initiating_ = !initiating_;
  logger_.debug(5, "Done monitoring threads.");
  return allWell;
}

std::vector<ThreadTable::WorkerStatus> ThreadTable::workerStatus() const {
  std::vector<WorkerStatus> workers;
  for (const auto& row : rows_) {
    std::string state = "running";
    if (row->job->status() != JobInstance::JS_RUNNING || row->status.load() == ST_DOWN) {
      state = "down";
    } else if (row->status.load() == ST_SILENT) {
      state = "silent";
    } else if (row->report.load() == REPORT_FATAL) {
      state = "fatal";
    } else if (row->report.load() == REPORT_ERRORS) {
      state = "seeing errors";
    } else if (row->report.load() == REPORT_QUITTING) {
      state = "quitting";
    }
    workers.push_back({row->name, state, row->lastOk});
  }
  return workers;
}

bool ThreadTable::checkThreads() {
  logger_.debug(5, "Check: Checking threads...");
  if (!monitorThreads()) {
    for (auto& row : rows_) {
      bool passed = true;
      attempt(
          logger_, [&] { passed = checkThread(*row); },
          [&](const std::string&) { logger_.debug(1, "ERROR while checking thread"); });
      if (!passed) return false;
    }
  }
  logger_.debug(5, "Check: Finished checking threads.");
  return true;
}

bool ThreadTable::checkThread(ThreadEntry& row) {
  logger_.debug(5, "Check: Checking \"%s\"...", row.name);
  if (row.status.load() == ST_OK) {
    logger_.debug(5, "   Check: \"%s\" is OK.", row.name);
    if (row.report.load() == REPORT_FATAL) {
      logger_.debug(5, "   Check: \"%s\" is fatal.", row.name);
      logger_.debug(1, "Check: Thread \"%s\" has reported a fatal error. We are shutting down.",
                    row.name.empty() ? std::string("UNKNOWN") : row.name);
      row.requestStop();
      raiseQuitFlag();
      return false;
    }
    row.lastOk = DateTime();
    return true;
  }
  if (LogSettings::debugLevel.load(std::memory_order_relaxed) > 3) {
    logger_.debug(4, "   Check: \"%s\" is not OK.", row.name);
    logger_.debug(5, "      Check: The last time it was OK was %s ago.",
                  (DateTime() - row.lastOk).toString());
  }
  if (row.status.load() == ST_SILENT) {
    logger_.debug(5, "   Check: \"%s\" is silent.", row.name);
    row.job->terminate();
    callKillHook(row);
    row.status.store(ST_DOWN);
    logger_.debug(5, "   Check: \"%s\" has been killed.", row.name);
  }
  if (row.status.load() == ST_DOWN && !quitFlag.load()) {
    callKillHook(row);
    logger_.debug(2, "   Check: Thread \"%s\" is down. Attempting restart...", row.name);
    // A fresh worker, a fresh word: a stop its predecessor saw (or set itself) is not its own.
    row.report.store(0);
    if (!attempt(
            logger_, [&] { row.job->execute(); },
            [&](const std::string& text) { logger_.fatal(8, row.name, text); })) {
      return false;
    }
    row.status.store(ST_OK);
    row.lastOk = DateTime();
    logger_.debug(5, "   Check: \"%s\" has been restarted.", row.name);
  }
  return true;
}

void ThreadTable::clear() {
  for (auto& row : rows_) {
    if (row->job->status() == JobInstance::JS_RUNNING) {
      row->job->terminate();
      callKillHook(*row);
    }
  }
  rows_.clear();
}

}  // namespace Vantor
