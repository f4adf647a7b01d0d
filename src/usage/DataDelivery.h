// The "DataDelivery" worker: every 10 seconds on the local-time grid it looks whether a
// stream's delivery boundary has come, and if so runs its hook and delivers its file.
#ifndef TARNWICK_USAGE_DATADELIVERY_H_
#define TARNWICK_USAGE_DATADELIVERY_H_

#include <memory>

#include "foundation/TimeSpan.h"
#include "logging/LoggerUnit.h"
#include "supervision/ThreadTable.h"
#include "usage/DataStreams.h"

namespace Vantor {

inline constexpr char kDataDeliveryThread[] = "DataDelivery";

// Registers the supervised "DataDelivery" thread. The streams must outlive the table's run.
// Streams registered with interval 0 get globalInterval when the thread starts.
void prepareDataDelivery(ThreadTable& table, std::shared_ptr<DataStreams> streams,
                         const TimeSpan& globalInterval, std::shared_ptr<LogSender> sender);

}  // namespace Vantor

#endif  // TARNWICK_USAGE_DATADELIVERY_H_
