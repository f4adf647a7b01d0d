// The metering program: its own configuration on top of the agent's, the left-over data
// recovery, the Core's commands, the status monitor and the main loop.
#ifndef TARNWICK_RUNTIME_TARNWICK_H_
#define TARNWICK_RUNTIME_TARNWICK_H_

#include <memory>
#include <string>

#include "concurrency/ThreadInstance.h"
#include "ipc/IPCServer.h"
#include "runtime/Agent.h"

namespace Vantor {

class Tarnwick : public Agent {
 public:
  static constexpr char kServerName[] = "Vantor_Tarnwick";

  explicit Tarnwick(Arguments arguments);
  ~Tarnwick() override;

  void run() override;
  // The Core's commands, as the IPC server hands them over.
  void handleCommand(const std::string& type, const std::string& reference, const std::string& body,
                     const std::string& replyTo);
  // Turns files a crashed run left in the working directory into data files, deletes the rest.
  void recoverLeftovers();
  const std::string& workingDirectory() const { return workingDirectory_; }

 protected:
  bool configureProgram() override;

 private:
  std::uint32_t monitorStatus();
  void prepareTestWorker(const std::string& temper);
  bool waitForWorkers();

  std::unique_ptr<LoggerUnit> programLogger_;
  std::string workingDirectory_;
  TimeSpan checkPeriod_{60};
  std::unique_ptr<IPCServer> server_;
  std::unique_ptr<ThreadInstance> statusMonitor_;
};

}  // namespace Vantor

#endif  // TARNWICK_RUNTIME_TARNWICK_H_
