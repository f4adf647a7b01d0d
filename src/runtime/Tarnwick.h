// The metering program: its own configuration on top of the agent's, the left-over data
// recovery, the Core's commands, the status monitor and the main loop.
#ifndef TARNWICK_RUNTIME_TARNWICK_H_
#define TARNWICK_RUNTIME_TARNWICK_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "concurrency/ThreadInstance.h"
#include "ipc/IPCServer.h"
#include "platform/Device.h"
#include "platform/Mutex.h"
#include "runtime/Agent.h"
#include "runtime/AgentStatus.h"
#include "runtime/ServiceNotices.h"
#include "sources/EventTracer.h"
#include "sources/KernelDriverTracer.h"
#include "sources/ModulePoller.h"
#include "sources/PerformanceMonitor.h"
#include "sources/ProcessPoller.h"
#include "usage/ExeFinder.h"
#include "usage/ProcessMap.h"

namespace Vantor {

class Tarnwick : public Agent {
 public:
  static constexpr char kServerName[] = "Vantor_Tarnwick";

  Tarnwick(platform::Env& env, Arguments arguments);
  ~Tarnwick() override;

  void run() override;
  // The Core's commands, as the IPC server hands them over.
  void handleCommand(const std::string& type, const std::string& reference, const std::string& body,
                     const std::string& replyTo);
  // What the agent says of itself now; safe on any thread.
  AgentStatus currentStatus() const;
  // Turns files a crashed run left in the working directory into data files, deletes the rest.
  void recoverLeftovers();
  const std::string& workingDirectory() const { return workingDirectory_; }

 protected:
  bool configureProgram() override;
  void describeConfiguration(std::ostream& out) const override;
  void beforeReconfiguring() override;
  // How often the status monitor checks the workers.
  TimeSpan checkPeriod_{60};
  // The kernel trace session's buffer in kilobytes; 0 for the system's choice.
  std::uint32_t traceBufferKilobytes_ = 0;

 private:
  // What the configuration asks to meter, and from where.
  struct MeteringSettings {
    bool polling = false;
    TimeSpan pollInterval{300};
    EventSource source = EventSource::kNone;
    bool eventsWanted = false;  // the source may have fallen back to polls
    bool moduleData = false;
    TimeSpan moduleInterval{0};
    std::string moduleFilterFile;
    bool performance = false;
    TimeSpan performanceInterval{5};
    std::string countersFile;
    std::string rulesFile;
  };

  // The working folder, made if missing; false (logged) when it is unsafe or cannot be made.
  bool prepareWorkingFolder();
  // The check's part of it: whether the folder could be made and written, making nothing.
  bool workingFolderCouldBeMade();
  // Reads the metering keys (and the delivery intervals) and chooses the event source.
  MeteringSettings readMeteringSettings();
  // Whether a user other than root and the agent's own could change a file that decides what
  // is recorded (said on standard error).
  bool othersMayChangeWhatIsRecorded(const MeteringSettings& settings);
  // Configures the map's records and the sources the settings choose, and prepares their
  // workers; false (logged) when one cannot be had.
  bool startSources(const MeteringSettings& settings);
  // The check's part of startSources: reads the files the chosen sources would read; false
  // (logged) when one cannot be had.
  bool readFilesOfSources(const MeteringSettings& settings);
  std::uint32_t monitorStatus();
  // Waits, before the first check, for the event source to run; returns since when it runs.
  std::optional<std::chrono::steady_clock::time_point> awaitEventSource();
  // The worker that reports process starts and ends; null when polling alone tells them.
  const ProcessEventSource* activeEventSource() const;
  // Whether the processes are metered yet: the first full poll is in the map, or the events
  // flow and the processes that ran before them were polled.
  bool meteringBegun() const;
  // The event source and its state, as the status names them.
  std::pair<std::string, std::string> eventSourceStatus() const;
  // On the status monitor's thread, which alone walks the thread table: what the workers
  // last told it, for the status.
  // The map's size too, counted here: a status asked for during a burst must not contend
  // for the map with the events (it slowed their handling enough to lose names).
  void publishWorkerStatus() LOCKS_EXCLUDED(workerStatusMutex_);
  // Ends the status monitor (after the reconfiguration it may be in) and then every worker;
  // nothing they use may be destroyed before. Safe to call again.
  void shutDownWorkers();
  // The process event source the settings ask for, with its fall-backs; may switch polling
  // on and shorten its interval.
  EventSource chooseEventSource(bool& polling, TimeSpan& pollInterval);
  // The product names of executables: made at the first configuration, read again at each;
  // false (logged) when they cannot be had.
  bool loadProductNames();
  // The process map and every source that feeds it, made once; each configuration then
  // configures and starts the sources it chooses.
  void buildMetering();
  // The module filter in path (none there: every module is recorded); null when it cannot be
  // read, and the start refused.
  std::shared_ptr<const ModuleFilter> readModuleFilter(const std::string& path);
  // The counter list and process rules in their files; null when either cannot be read, and
  // the start refused.
  std::shared_ptr<const PerformanceSetup> readPerformanceSetup(const std::string& countersPath,
                                                               const std::string& rulesPath);
  // The "process" data stream, which dumps the process map when it is delivered.
  void registerProcessStream();
  void registerModuleStream();
  void registerPerformanceStream();
  void enableDebugPrivileges();

  std::unique_ptr<LoggerUnit> programLogger_;
  std::optional<MeteringSettings> checkedSettings_;  // what the check found
  std::string workingDirectory_;
  // The driver's device from the choice of the source until the source takes it.
  std::shared_ptr<platform::Device> kernelDriver_;
  std::unique_ptr<ExeFinder> exeFinder_;
  std::unique_ptr<ProcessMap> processMap_;
  std::unique_ptr<ProcessPoller> poller_;
  std::unique_ptr<ModulePoller> modulePoller_;
  std::unique_ptr<PerformanceMonitor> performanceMonitor_;
  TimeSpan perfMonInterval_{3600};  // delivery of the "perfmon" stream
  // The second the performance records written before a reconfiguration end at; 0 if none.
  std::int64_t measuredUntil_ = 0;
  std::unique_ptr<EventTracer> eventTracer_;
  std::unique_ptr<KernelDriverTracer> driverTracer_;
  // Set by the configuration, on the thread that then runs the status monitor's checks; read
  // by the status too.
  std::atomic<EventSource> eventSource_{EventSource::kNone};
  std::atomic<bool> polling_{false};
  std::atomic<bool> eventsWanted_{false};  // the configuration asked for events
  std::atomic<std::int64_t> pollSeconds_{0};
  std::atomic<std::uint32_t> configurations_{0};
  std::atomic<bool> eventsBegun_{false};  // set by the status monitor
  std::atomic<bool> mainLoopRunning_{false};
  const DateTime startedAt_;
  ServiceNotices serviceNotices_{env().serviceManager()};
  mutable platform::Mutex workerStatusMutex_;
  std::vector<ThreadTable::WorkerStatus> workerStatus_ GUARDED_BY(workerStatusMutex_);
  std::optional<std::size_t> mapSize_ GUARDED_BY(workerStatusMutex_);
  std::unique_ptr<IPCServer> server_;
  std::unique_ptr<ThreadInstance> statusMonitor_;
  bool threadsStarted_ = false;  // on the main thread: run() started the workers
};

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_TARNWICK_H_
