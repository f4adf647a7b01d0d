#include "usage/DataDelivery.h"

#include <algorithm>

#include "concurrency/ProcessFlags.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

constexpr std::int32_t kTickSeconds = 10;
constexpr std::int32_t kStatusSeconds = 20;
// While the program quits the worker only answers the heartbeat, until the stop signal.
constexpr auto kQuittingPause = std::chrono::seconds(1);

DateTime aligned(const DateTime& moment, std::int32_t seconds) {
  DateTime result = moment;
  result.alignDown(TimeSpan(seconds));
  return result;
}

std::uint32_t deliverData(ThreadEntry& row, DataStreams& streams, const TimeSpan& interval,
                          const LoggerUnit& logger) {
  logger.debug(1, "START THREAD %s (%i).", row.name,
               static_cast<std::int64_t>(row.job->threadId()));
  try {
    DateTime statusTime(0LL);
    streams.applyGlobalInterval(interval);
    DateTime tick = aligned(DateTime(), kTickSeconds);
    while (!row.stopRequested()) {
      DateTime now;
      reportThreadStatus(row.report, false);
      if (statusTime <= now) {
        statusTime = now + TimeSpan(kStatusSeconds);
        logThreadStatus(logger, row, false);
      }
      if (quitFlag.load()) {
        row.pause(kQuittingPause);
        continue;
      }
      if (tick <= now) {
        tick += TimeSpan(kTickSeconds);
        if (tick <= now) tick = aligned(now, kTickSeconds);  // fell behind: back on the grid
        streams.deliveryPass(now);
      }
      // Until the next tick: deliveries fall on the ten-second grid.
      row.pause(std::chrono::seconds(std::max((tick - DateTime()).getSeconds(), 0)));
    }
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger.debug(1, "ERROR while running %s thread", row.name);
  }
  logger.debug(1, "END THREAD " + row.name);
  return 0;
}

}  // namespace

void prepareDataDelivery(ThreadTable& table, std::shared_ptr<DataStreams> streams,
                         const TimeSpan& globalInterval, std::shared_ptr<LogSender> sender) {
  auto logger = std::make_shared<LoggerUnit>(std::move(sender), kModuleAgent);
  logger->debug(2, "Preparing data delivery thread...");
  table.addThread(kDataDeliveryThread, TF_REPORTS,
                  [streams, globalInterval, logger](ThreadEntry& row) {
                    return deliverData(row, *streams, globalInterval, *logger);
                  });
  logger->debug(3, "   Done.");
}

}  // namespace Vantor
