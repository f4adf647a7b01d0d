// This system's environment: each call goes to the service of the platform layer built in
// that provides it.
#include "platform/Env.h"
#include "platform/SystemServices.h"

namespace Vantor::platform {

namespace {

class SystemEnv : public Env {
 public:
  Clock& clock() override { return systemClock(); }
  FileSystem& fileSystem() override { return systemFileSystem(); }
  Registry& registry() override { return systemRegistry(); }
  SystemFacts& systemFacts() override { return platform::systemFacts(); }
  EnvironmentVariables& variables() override { return systemVariables(); }
  KernelTrace& kernelTrace() override { return systemKernelTrace(); }
  EventClasses& eventClasses() override { return systemEventClasses(); }
  PerformanceCounters& performanceCounters() override { return systemPerformanceCounters(); }

  std::unique_ptr<ProcessTable> newProcessTable() override { return platform::newProcessTable(); }
  std::unique_ptr<ProcessHandle> openProcess(std::uint32_t pid, std::uint64_t startStamp) override {
    return platform::openProcess(pid, startStamp);
  }
  std::uint64_t processStartStampNow() override { return platform::processStartStampNow(); }
  bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) override {
    return platform::lookupAccountSid(sid, user, domain);
  }
  bool readVersionInfo(const std::string& path, VersionInfo* info) override {
    return platform::readVersionInfo(path, info);
  }

  std::unique_ptr<MailslotReader> createMailslot(const std::string& name) override {
    return platform::createMailslot(name);
  }
  std::unique_ptr<MailslotWriter> openMailslot(const std::string& name) override {
    return platform::openMailslot(name);
  }
  std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name,
                                                    MutexTakers takers) override {
    return platform::tryHoldNamedMutex(name, takers);
  }
  bool prepareNamedMutex(const std::string& name) override {
    return platform::prepareNamedMutex(name);
  }
  std::unique_ptr<NamedEvent> createEvent(const std::string& name, NamedEvent::Reset reset,
                                          NamedEvent::Users users) override {
    return platform::createEvent(name, reset, users);
  }
  std::unique_ptr<NamedEvent> openEvent(const std::string& name, NamedEvent::Reset reset) override {
    return platform::openEvent(name, reset);
  }
  bool setEvent(const std::string& name) override { return platform::setEvent(name); }
  int waitForAnyEvent(const std::vector<NamedEvent*>& events,
                      std::chrono::milliseconds timeout) override {
    return platform::waitForAnyEvent(events, timeout);
  }
  std::unique_ptr<Device> openDevice(const std::string& name) override {
    return platform::openDevice(name);
  }
  std::string namedObjectsRefusal() override { return platform::namedObjectsRefusal(); }
  std::string namedObjectsFolder() override { return platform::namedObjectsFolder(); }

  std::uint32_t processId() override { return currentProcessId(); }
  std::uint32_t userId() override { return currentUserId(); }
  bool threadExists(std::uint32_t threadId) override { return platform::threadExists(threadId); }
  void raiseOpenFileLimit() override { platform::raiseOpenFileLimit(); }
  bool enableDebugPrivilege(std::string* failedStep) override {
    return platform::enableDebugPrivilege(failedStep);
  }
  void watchProcessSignals(std::function<void()> onEnd,
                           std::function<void()> onReconfigure) override {
    platform::watchProcessSignals(std::move(onEnd), std::move(onReconfigure));
  }
  std::string errorText(std::uint32_t code) override { return systemErrorText(code); }
};

}  // namespace

std::unique_ptr<Env> newSystemEnv() { return std::make_unique<SystemEnv>(); }

}  // namespace Vantor::platform
