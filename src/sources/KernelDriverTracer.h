// The "KernelDriverTracer" worker: takes process starts and ends from the suite's
// process-event driver. It waits on the driver's event, drains the driver's queue into the
// process map (in batches where the driver has them, else record by record), and ends when another
// party sets the quit event. A driver that cannot be reached at the start, or speaks another
// version, makes it fatal, and the supervision then shuts the program down. A driver lost later (a
// failed wait, or two failed reads in a row) is looked for again every few seconds while full polls
// stand in; once it is back, a repair poll covers the gap. On a stop, what the driver queued before
// it is read first.
#ifndef TARNWICK_SOURCES_KERNELDRIVERTRACER_H_
#define TARNWICK_SOURCES_KERNELDRIVERTRACER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Device.h"
#include "platform/Mutex.h"
#include "platform/NamedEvent.h"
#include "sources/DriverProtocol.h"
#include "sources/ProcessEventSource.h"
#include "sources/ProcessPoller.h"
#include "supervision/ThreadTable.h"
#include "usage/ProcessMap.h"

namespace Vantor {

class KernelDriverTracer : public ProcessEventSource {
 public:
  // What a wait reports.
  enum WaitResult : std::uint32_t {
    kNothingToReport = 0,
    kReadFailed = 3,
    kWaitFailed = 4,
    kQuitSignalled = 6,
  };
  // How long the driver gets to answer a request.
  static constexpr std::chrono::seconds kRequestTimeout{2};
  static constexpr int kConnectRetries = 10;
  static constexpr std::chrono::seconds kConnectRetryPause{5};
  // The most bytes a batch answer may have: a few hundred records.
  static constexpr std::uint32_t kBatchBytes = 64 * 1024;
  // A queue that does not run dry in this many records is left for the next round, so the
  // worker still answers the supervision.
  static constexpr int kMostRecordsPerWait = 4096;
  // A driver quiet this long has its queue read unasked: one that has gone is noticed, and a
  // lost signal strands nothing.
  static constexpr std::chrono::seconds kQuietCheck{10};
  // A lost driver is looked for this often.
  static constexpr std::chrono::seconds kReconnectPause{2};
  // Meanwhile the process table is polled this often.
  static constexpr std::chrono::seconds kLostPollPause{10};
  // On a stop: how long the driver has to queue what it saw before it, and the most the
  // reading of its queue may take.
  static constexpr std::chrono::milliseconds kStopSettle{300};
  static constexpr std::chrono::seconds kStopDrainLimit{10};
  // How long the queue is still read after the first record from after the stop: time for
  // the driver to queue the ends it saw before.
  static constexpr std::chrono::milliseconds kStopTail{500};

  KernelDriverTracer(platform::Env& env, const LoggerUnit& logger, ProcessMap& processMap,
                     ProcessPoller& poller);

  // Registers the "KernelDriverTracer" row on the thread table, to read device, which the
  // configuration opened.
  bool prepare(ThreadTable& threads, std::shared_ptr<platform::Device> device)
      LOCKS_EXCLUDED(deviceMutex_);
  // Lets go of the device, so that a driver does not queue for nobody. A request under way
  // keeps it until it is answered.
  void dropDevice() LOCKS_EXCLUDED(deviceMutex_);
  // The device the source reads; null when it has none.
  std::shared_ptr<platform::Device> device() LOCKS_EXCLUDED(deviceMutex_);
  bool isRunning() const override { return running_.load(); }
  std::uint64_t runningSince() const override { return runningSince_.load(); }
  bool hasGivenUp() const override { return gaveUp_.load(); }
  std::uint64_t eventsLost() const override { return eventsLost_.load(); }
  bool pollsStandIn() const override { return driverLost_.load(); }

 private:
  std::uint32_t kernelDriverTracerThread(ThreadEntry& row);
  enum class Connection { kConnected, kLost, kRefused };
  // kLost: the driver does not answer (looked for again); kRefused: fatal.
  Connection connectToDriver(ThreadEntry& row);
  WaitResult waitForDriverEvents(std::atomic<std::uint32_t>& report);
  // Hands the queued records to the process map until the driver has no more.
  WaitResult drainQueue();
  void makeQuitEvent();
  // The driver has gone: its device is let go and polls stand in.
  void loseDriver();
  // Tries to reach the driver again, once every kReconnectPause.
  void reconnect(ThreadEntry& row);
  // Opens the device and the event, and checks the version; false (nothing kept) when any
  // fails.
  bool reachDriver() LOCKS_EXCLUDED(deviceMutex_);
  // Reads the queue until it holds nothing from before the stop, or kStopDrainLimit passed.
  void drainBeforeStop();
  struct TakenRecord {
    DriverRecord record;
    // None when the driver tells nothing beyond its records.
    std::optional<DriverFacts> facts;
  };
  // The records the driver queued, a batch of them or one; none when its queue is empty.
  // False (logged) when the driver failed.
  bool takeRecords(std::vector<TakenRecord>* records);
  // Null when no object can be made of the record.
  ProcessRef makeProcess(const DriverRecord& record, const std::optional<DriverFacts>& facts);
  std::optional<DriverFacts> askFacts(const std::vector<std::uint8_t>& record);
  // Logs the records the driver lost, summed, at most once a second: a burst any user can
  // cause must not flood the log.
  void tellLost();
  // One control request within the time-out.
  platform::Status request(std::uint32_t code, const std::vector<std::uint8_t>& input,
                           std::uint32_t capacity, std::vector<std::uint8_t>* output);

  platform::Env& env_;
  const LoggerUnit& logger_;
  ProcessMap& processMap_;
  ProcessPoller& poller_;
  platform::Mutex deviceMutex_;
  std::shared_ptr<platform::Device> device_ GUARDED_BY(deviceMutex_);
  std::atomic<bool> running_{false};
  std::atomic<std::uint64_t> runningSince_{0};
  std::atomic<bool> gaveUp_{false};
  std::atomic<std::uint64_t> eventsLost_{0};
  // The worker's lost_, for the status.
  std::atomic<bool> driverLost_{false};
  // The worker's own.
  std::unique_ptr<platform::NamedEvent> processEvent_;
  std::unique_ptr<platform::NamedEvent> quitEvent_;
  bool factsUnsupported_ = false;
  bool batchUnsupported_ = false;
  // Whether the last batch filled its room: only a full one may have left records behind.
  bool batchWasFull_ = false;
  bool queueLeftOver_ = false;
  std::chrono::steady_clock::time_point lastAnswer_;
  std::uint64_t lostUntold_ = 0;
  // The driver lost records: the process table is read again once its queue is empty.
  bool repairPending_ = false;
  bool lost_ = false;
  std::chrono::steady_clock::time_point nextReconnect_;
  std::chrono::steady_clock::time_point nextLostPoll_;
  // While a stop drains the queue: the record time from which it reads only kStopTail more,
  // and when that tail ends, once a record of that time came.
  std::uint64_t drainUntil_ = 0;
  std::optional<std::chrono::steady_clock::time_point> drainTailEnd_;
  std::chrono::steady_clock::time_point lostTold_;
  AccountNames accounts_{env_};
  std::chrono::steady_clock::time_point accountsLearnt_;
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_KERNELDRIVERTRACER_H_
