// The system's process starts and ends as a stream, from the kernel's process connector: each
// started program is read at once, before it can end, and a process ends once all its threads
// have. The kernel trace session and the stand-in driver both take their events from here.
#ifndef TARNWICK_PLATFORM_POSIX_PROCESSEVENTSTREAM_H_
#define TARNWICK_PLATFORM_POSIX_PROCESSEVENTSTREAM_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/Mutex.h"
#include "platform/TraceSession.h"
#include "platform/posix/ConnectorSocket.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcConnector.h"
#include "platform/posix/ProcessEventData.h"

namespace Vantor::platform {

struct StreamedEvent {
  // kTraceTypeStart, kTraceTypeEnd, or kTraceTypeEndOfUnstarted for a process that never
  // started a program of its own.
  std::uint8_t type = kTraceTypeEnd;
  std::uint32_t pid = 0;
  std::uint64_t timeNanos = 0;  // the kernel's monotonic clock
  // The process's start stamp (ProcessId::startStamp), and its start in nanoseconds on the boot
  // clock; 0 when the source does not know them.
  std::uint64_t startStamp = 0;
  std::uint64_t startNanos = 0;
  ProcessEventFields fields;
};

// Two sockets and two threads. The namer's socket receives only program starts; its thread
// reads each started process at once, ahead of ordinary work where the system permits, since
// a program that runs a millisecond is gone otherwise. The receiver's socket receives every
// event; its thread reads them in batches, counts what was lost, follows forks and exits,
// and queues starts (with what the namer read) and ends for the taker.
class ProcessEventStream {
 public:
  // Large enough that a burst of thread churn loses nothing (a few megabytes lost events). The
  // kernel doubles it for its own bookkeeping: the socket reports 32 MB.
  static constexpr std::uint64_t kDefaultBufferBytes = 16u << 20;

  explicit ProcessEventStream(std::uint64_t bufferBytes) : requestedBufferBytes_(bufferBytes) {}
  ~ProcessEventStream() { stop(); }
  ProcessEventStream(const ProcessEventStream&) = delete;
  ProcessEventStream& operator=(const ProcessEventStream&) = delete;

  // listen: subscribe to the connector (else the stream stays empty); a Win32 error code.
  std::uint32_t start(bool listen);
  // Safe to call more than once, and from a thread being cancelled.
  void stop();
  bool stopped() const { return stopped_.load(); }
  // Waits up to waitMillis, or until a large batch waits or the stream stops, and takes
  // every event queued, oldest first.
  std::deque<StreamedEvent> take(int waitMillis);
  // Events lost since the start, and how often the receive buffer overflowed.
  std::uint64_t lost() const { return lost_.load(); }
  std::uint64_t overflows() const { return overflows_.load(); }
  std::uint64_t bufferBytes() const { return events_.bufferBytes(); }

 private:
  // Waits until fd can be read or the stream stops; false once it stops.
  bool waitFor(int fd, int timeoutMillis);
  void receive();
  void name();
  void handle(const ProcEvent& event, std::vector<StreamedEvent>* batch);
  // Queues the end of every process of endings_ whose threads have all ended.
  void endProcesses(std::vector<StreamedEvent>* batch);
  StartFacts takeReading(const ProcEvent& event, const ProcChange& change);

  const std::uint64_t requestedBufferBytes_;
  ConnectorSocket events_;
  ConnectorSocket starts_;
  UniqueFd stopSignal_;
  UniqueFd queueSignal_;
  std::thread receiver_;
  std::thread namer_;
  std::atomic<bool> stopped_{false};
  std::atomic<std::uint64_t> overflows_{0};
  std::atomic<std::uint64_t> lost_{0};
  ProcEventTracker tracker_;  // the receiver's own
  Mutex readingsMutex_;
  std::unordered_map<std::uint64_t, StartFacts> readings_ GUARDED_BY(readingsMutex_);
  // The last program start of each processor the receiver has handled.
  std::unordered_map<std::uint32_t, std::uint32_t> handledSequence_ GUARDED_BY(readingsMutex_);
  Mutex queueMutex_;
  std::deque<StreamedEvent> queue_ GUARDED_BY(queueMutex_);
  // Processes whose first thread has ended, with what their end will say: the receiver's own.
  struct Ending {
    std::uint8_t type = kTraceTypeEnd;
    std::int32_t exitStatus = 0;
    std::uint64_t timeNanos = 0;
    // When every thread was first seen gone (monotonic nanoseconds); 0 while one runs.
    std::uint64_t seenEndedAt = 0;
    // While one runs: when to look again, and the pause before that look.
    std::uint64_t checkAt = 0;
    std::uint64_t checkPause = 0;
  };
  using Endings = std::unordered_map<std::uint32_t, Ending>;
  // Queues a waiting end and forgets it; the entry after it.
  Endings::iterator queueEnd(Endings::iterator ending, std::vector<StreamedEvent>* batch);
  Endings endings_;
  std::size_t endingsCheckedAt_ = 0;  // the receiver's own
};

// The monotonic clock in nanoseconds, as the kernel stamps process events.
std::uint64_t monotonicNanos();
// What to add to the monotonic clock for nanoseconds since 1970.
std::int64_t monotonicToUnixNanos();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_PROCESSEVENTSTREAM_H_
