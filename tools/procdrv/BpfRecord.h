// The records of the driver's eBPF program, read as events. The bytes come from the kernel, but
// are checked like any others: a record that is short, of an unknown kind, or with a path that
// does not parse gives no event, or an event without a path, never a wrong one.
#ifndef TARNWICK_TOOLS_PROCDRV_BPFRECORD_H_
#define TARNWICK_TOOLS_PROCDRV_BPFRECORD_H_

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/posix/ProcessEventStream.h"

namespace Vantor::procdrv {

struct BpfClocks {
  // The boot clock less the monotonic clock, now (they part while the machine sleeps).
  std::uint64_t bootAheadNanos = 0;
  // Clock ticks per second of /proc/PID/stat's start time.
  std::uint64_t ticksPerSecond = 100;
};

std::optional<platform::StreamedEvent> decodeBpfRecord(const std::uint8_t* data, std::size_t size,
                                                       const BpfClocks& clocks);

}  // namespace Vantor::procdrv

#endif  // TARNWICK_TOOLS_PROCDRV_BPFRECORD_H_
