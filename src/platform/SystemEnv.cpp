// This system's environment: each call goes to the service of the platform layer built in
// that provides it.
#include "platform/Env.h"
#include "platform/SystemServices.h"

namespace Vantor::platform {

namespace {

// What the services answer with a null object and the thread's last error, as a value.
template <typename T>
Expected<std::unique_ptr<T>> orLastError(std::unique_ptr<T> made) {
  if (!made) return Expected<std::unique_ptr<T>>::failure(Status::error(lastError()));
  return made;
}

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
  ServiceManager& serviceManager() override { return systemServiceManager(); }

  std::unique_ptr<ProcessTable> newProcessTable() override { return platform::newProcessTable(); }
  Expected<std::unique_ptr<ProcessHandle>> openProcess(std::uint32_t pid,
                                                       std::uint64_t startStamp) override {
    return orLastError(platform::openProcess(pid, startStamp));
  }
  std::uint64_t processStartStampNow() override { return platform::processStartStampNow(); }
  Status lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) override {
    return Status::fromLastError(platform::lookupAccountSid(sid, user, domain));
  }
  Status readVersionInfo(const std::string& path, VersionInfo* info) override {
    return Status::fromLastError(platform::readVersionInfo(path, info));
  }

  Expected<std::unique_ptr<MailslotReader>> createMailslot(const std::string& name) override {
    return orLastError(platform::createMailslot(name));
  }
  Expected<std::unique_ptr<MailslotWriter>> openMailslot(const std::string& name) override {
    return orLastError(platform::openMailslot(name));
  }
  Expected<std::unique_ptr<NamedMutexHold>> tryHoldNamedMutex(const std::string& name,
                                                              MutexTakers takers) override {
    return orLastError(platform::tryHoldNamedMutex(name, takers));
  }
  bool prepareNamedMutex(const std::string& name) override {
    return platform::prepareNamedMutex(name);
  }
  Expected<std::unique_ptr<NamedEvent>> createEvent(const std::string& name,
                                                    NamedEvent::Reset reset,
                                                    NamedEvent::Users users) override {
    return orLastError(platform::createEvent(name, reset, users));
  }
  Expected<std::unique_ptr<NamedEvent>> openEvent(const std::string& name,
                                                  NamedEvent::Reset reset) override {
    return orLastError(platform::openEvent(name, reset));
  }
  bool setEvent(const std::string& name) override { return platform::setEvent(name); }
  Expected<int> waitForAnyEvent(const std::vector<NamedEvent*>& events,
                                std::chrono::milliseconds timeout) override {
    int signalled = platform::waitForAnyEvent(events, timeout);
    if (signalled == NamedEvent::kFailed) return Expected<int>::failure(Status::error(lastError()));
    return signalled;
  }
  Expected<std::unique_ptr<Device>> openDevice(const std::string& name) override {
    return orLastError(platform::openDevice(name));
  }
  std::string namedObjectsRefusal() override { return platform::namedObjectsRefusal(); }
  std::string namedObjectsFolder() override { return platform::namedObjectsFolder(); }

  std::uint32_t processId() override { return currentProcessId(); }
  std::uint32_t userId() override { return currentUserId(); }
  bool threadExists(std::uint32_t threadId) override { return platform::threadExists(threadId); }
  void raiseOpenFileLimit() override { platform::raiseOpenFileLimit(); }
  Status enableDebugPrivilege(std::string* failedStep) override {
    return Status::fromLastError(platform::enableDebugPrivilege(failedStep));
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
