// The "EventTracer" worker: runs the kernel trace session and hands every process start and
// end it reports to the process map. Lost events are counted, logged, and repaired by a full
// poll of the process table.
#ifndef TARNWICK_SOURCES_EVENTTRACER_H_
#define TARNWICK_SOURCES_EVENTTRACER_H_

#include <atomic>
#include <chrono>
#include <memory>

#include "sources/EventDecoder.h"
#include "sources/KernelTracer.h"
#include "sources/ProcessEventSource.h"
#include "sources/ProcessPoller.h"
#include "supervision/ThreadTable.h"
#include "usage/ProcessMap.h"

namespace Vantor {

class EventTracer : public ProcessEventSource {
 public:
  // On a stop, the most the handing over of the events received before it may take.
  static constexpr std::chrono::seconds kStopDrainLimit{10};

  EventTracer(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap,
              ProcessPoller& poller);
  // Stops a session a failed thread left behind.
  ~EventTracer() override;

  // Written by the configuration while the worker does not run.
  void configure(std::uint32_t bufferKilobytes) { bufferKilobytes_ = bufferKilobytes; }
  // Registers the "EventTracer" row on the thread table.
  bool prepare(ThreadTable& threads);
  // Stops the session a stopped worker kept for the next one (the events are no longer
  // wanted); while the worker does not run.
  void endSession() { tracer_.reset(); }
  bool isRunning() const override { return running_.load(); }
  std::uint64_t runningSince() const override { return runningSince_.load(); }
  std::uint64_t eventsLost() const override { return eventsLost_.load(); }

 private:
  std::uint32_t eventTracerThread(ThreadEntry& row);
  bool bufferCallback(const platform::TraceLogFile& logFile);
  void processCallback(const platform::EventTrace& record);

  platform::Env& env_;
  const LoggerUnit& logger_;
  ProcessMap& processMap_;
  ProcessPoller& poller_;
  std::uint32_t bufferKilobytes_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> runningSince_{0};
  std::atomic<std::uint64_t> eventsLost_{0};
  // The worker's own, and the shutdown's once no worker runs.
  std::unique_ptr<KernelTracer> tracer_;
  EventDecoder decoder_;
  // The worker's own: a stop was asked for, and the last buffer before it is being handed over.
  bool stopRequested_ = false;
  bool draining_ = false;
  // While draining: until when, the stop's moment as event times give it, whether the last
  // buffer held events from before it, and the events left undelivered for want of time.
  std::chrono::steady_clock::time_point drainDeadline_;
  std::int64_t stopStamp_ = 0;
  int buffersSinceStop_ = 0;
  bool eventsBeforeStop_ = false;
  std::uint64_t undelivered_ = 0;
  std::uint64_t reportedLost_ = 0;
  std::uint64_t reportedOverflows_ = 0;
  std::uint64_t reportedBufferBytes_ = 0;
  std::chrono::steady_clock::time_point accountsLearnt_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_EVENTTRACER_H_
