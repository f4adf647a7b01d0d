#include "sources/ModulePoller.h"

#include "sources/PeriodicWorker.h"

namespace Vantor {

ModulePoller::ModulePoller(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap)
    : env_(env), logger_(logger), processMap_(processMap) {}

bool ModulePoller::prepare(ThreadTable& threads) {
  return prepareWorker(threads, logger_, "ModulePoller", TF_REPORTS, [this](ThreadEntry& entry) {
           return runPeriodicWorker(entry, logger_, env_.clock(),
                                    {interval_, nullptr, [this] { pollModules(); },
                                     "ERROR while running modulePoller thread"});
         }) != nullptr;
}

void ModulePoller::pollModules() {
  logger_.debug(5, "Polling modules...");
  processMap_.refreshModules("modPoll");
  logger_.debug(5, "   Done polling modules.");
}

}  // namespace Vantor
