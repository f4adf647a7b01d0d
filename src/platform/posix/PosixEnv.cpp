// The Linux environment: each call goes to the service of this layer that provides it.
#include "platform/Env.h"
#include "platform/posix/PosixServices.h"
#include "platform/posix/RuntimeDirectory.h"

namespace Vantor::platform {

namespace {

class PosixEnv : public Env {
 public:
  Clock& clock() override { return systemClock(); }
  FileSystem& fileSystem() override { return posixFileSystem(); }
  Registry& registry() override { return posixRegistry(); }
  SystemFacts& systemFacts() override { return posixSystemFacts(); }
  EnvironmentVariables& variables() override { return posixVariables(); }
  KernelTrace& kernelTrace() override { return posixKernelTrace(); }
  EventClasses& eventClasses() override { return posixEventClasses(); }
  PerformanceCounters& performanceCounters() override { return posixPerformanceCounters(); }

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
  std::string namedObjectsRefusal() override { return runtimeDirectoryRefusal(); }

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

std::unique_ptr<Env> newSystemEnv() { return std::make_unique<PosixEnv>(); }

}  // namespace Vantor::platform
