// The operating system as the agent sees it: every service of the platform, gathered in one
// object that main() builds and hands to whatever needs the system. A test wraps it
// (EnvWrapper) to make chosen calls fail.
//
// Threads, mutexes and in-process events are not here: like std::thread they are primitives
// of the language's own kind, picked at link time (Thread.h, Mutex.h).
#ifndef TARNWICK_PLATFORM_ENV_H_
#define TARNWICK_PLATFORM_ENV_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Device.h"
#include "platform/EnvironmentVariables.h"
#include "platform/EventClasses.h"
#include "platform/FileSystem.h"
#include "platform/Mailslot.h"
#include "platform/NamedEvent.h"
#include "platform/NamedMutex.h"
#include "platform/ProcessPerformance.h"
#include "platform/ProcessTable.h"
#include "platform/Registry.h"
#include "platform/ServiceManager.h"
#include "platform/Status.h"
#include "platform/SystemFacts.h"
#include "platform/TraceSession.h"
#include "platform/VersionInfo.h"

namespace Vantor::platform {

// Safe for concurrent use by multiple threads; lives as long as anything it made.
class Env {
 public:
  virtual ~Env() = default;

  virtual Clock& clock() = 0;
  virtual FileSystem& fileSystem() = 0;
  virtual Registry& registry() = 0;
  virtual SystemFacts& systemFacts() = 0;
  virtual EnvironmentVariables& variables() = 0;
  virtual KernelTrace& kernelTrace() = 0;
  // The descriptions of the kernel trace's event classes.
  virtual EventClasses& eventClasses() = 0;
  virtual PerformanceCounters& performanceCounters() = 0;
  virtual ServiceManager& serviceManager() = 0;

  // Processes.
  // A table of this system's processes. It remembers what it learnt of earlier listings, so
  // each lister keeps its own.
  virtual std::unique_ptr<ProcessTable> newProcessTable() = 0;
  // The process that has pid now, or, with a non-zero start stamp, only the one that started
  // then; the error (kErrorInvalidParameter for none, kErrorAccessDenied) when there is none
  // or it may not be opened. A process whose executable is refused to this user is opened.
  virtual Expected<std::unique_ptr<ProcessHandle>> openProcess(std::uint32_t pid,
                                                               std::uint64_t startStamp) = 0;
  // The start stamp (ProcessId::startStamp) of a process that would start now: whatever
  // starts later has a greater one.
  virtual std::uint64_t processStartStampNow() = 0;
  // User and domain of a security identifier. The domain is empty for an account of this
  // computer (the caller knows its name); a user the system has no name for is named by
  // number. An error for an identifier of no user or when the lookup fails.
  virtual Status lookupAccountSid(const std::string& sid, std::string* user,
                                  std::string* domain) = 0;
  // The version resource of an executable file; an error when it has none.
  virtual Status readVersionInfo(const std::string& path, VersionInfo* info) = 0;

  // Objects shared with other programs by name.
  // Creates the named mailslot for reading: writable by everybody. An error when it cannot be
  // made (kErrorAlreadyExists while another reader owns the name).
  virtual Expected<std::unique_ptr<MailslotReader>> createMailslot(const std::string& name) = 0;
  // Opens a mailslot for writing; an error when there is none.
  virtual Expected<std::unique_ptr<MailslotWriter>> openMailslot(const std::string& name) = 0;
  // The hold; kErrorAlreadyExists when someone else holds the mutex, another code when it
  // cannot be made (kErrorAccessDenied when another user owns a mutex meant for this user). The
  // name must be a plain file name.
  virtual Expected<std::unique_ptr<NamedMutexHold>> tryHoldNamedMutex(const std::string& name,
                                                                      MutexTakers takers) = 0;
  // Makes the named mutex exist, so that users who may not create one can still take it.
  virtual bool prepareNamedMutex(const std::string& name) = 0;
  // Makes the event, not set, or takes the one of that name this user made before; an error
  // when it cannot. The name must be a plain file name.
  virtual Expected<std::unique_ptr<NamedEvent>> createEvent(const std::string& name,
                                                            NamedEvent::Reset reset,
                                                            NamedEvent::Users users) = 0;
  // The event another program of the system or this user made; kErrorFileNotFound when there
  // is none, kErrorAccessDenied when another user made it.
  virtual Expected<std::unique_ptr<NamedEvent>> openEvent(const std::string& name,
                                                          NamedEvent::Reset reset) = 0;
  // Sets the event of that name; false when there is none, it may not be set,
  // or another user than this one or the system made it.
  virtual bool setEvent(const std::string& name) = 0;
  // Waits until one of events (all made by this Env) is set, up to timeout: the index of the
  // first that is, NamedEvent::kTimedOut, or the error that made the wait fail.
  virtual Expected<int> waitForAnyEvent(const std::vector<NamedEvent*>& events,
                                        std::chrono::milliseconds timeout) = 0;
  // A driver's device; an error when no such device is being served (kErrorFileNotFound), or
  // when another user than this one or the system serves it (kErrorAccessDenied).
  virtual Expected<std::unique_ptr<Device>> openDevice(const std::string& name) = 0;
  // Why the calling thread's last attempt to make a named object refused the folder it found
  // for them, as a sentence that says what to do; empty when none was refused.
  virtual std::string namedObjectsRefusal() = 0;
  // The folder that holds the named objects (mailslots, mutexes, events, devices); empty
  // where the system keeps them itself.
  virtual std::string namedObjectsFolder() = 0;

  // This process.
  virtual std::uint32_t processId() = 0;
  // The user this process acts as (0 is the system's administrator).
  virtual std::uint32_t userId() = 0;
  // Whether the thread of this process with that identifier still exists: a killed thread
  // may live on until its next cancellation point.
  virtual bool threadExists(std::uint32_t threadId) = 0;
  // Lets the process keep as many files open as the system allows it: every observed
  // process holds an open handle.
  virtual void raiseOpenFileLimit() = 0;
  // An error with the failing step's name: "OpenProcessToken" (the process's
  // rights cannot be read), "LookupPrivilegeValue" (the system does not know the right) or
  // "AdjustTokenPrivileges" (it could not be raised).
  virtual Status enableDebugPrivilege(std::string* failedStep) = 0;
  // Call on the main thread before any other thread starts: the system's requests to end
  // and to read the configuration again reach onEnd and onReconfigure, on a thread of their
  // own. Once per process.
  virtual void watchProcessSignals(std::function<void()> onEnd,
                                   std::function<void()> onReconfigure) = 0;
  // The system's text for an error code, without trailing line breaks.
  virtual std::string errorText(std::uint32_t code) = 0;
};

// This system's environment.
std::unique_ptr<Env> newSystemEnv();

// Forwards every call to another Env; a test overrides what it wants to fail.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}

  Env& target() const { return target_; }

  Clock& clock() override { return target_.clock(); }
  FileSystem& fileSystem() override { return target_.fileSystem(); }
  Registry& registry() override { return target_.registry(); }
  SystemFacts& systemFacts() override { return target_.systemFacts(); }
  EnvironmentVariables& variables() override { return target_.variables(); }
  KernelTrace& kernelTrace() override { return target_.kernelTrace(); }
  EventClasses& eventClasses() override { return target_.eventClasses(); }
  PerformanceCounters& performanceCounters() override { return target_.performanceCounters(); }
  ServiceManager& serviceManager() override { return target_.serviceManager(); }
  std::unique_ptr<ProcessTable> newProcessTable() override { return target_.newProcessTable(); }
  Expected<std::unique_ptr<ProcessHandle>> openProcess(std::uint32_t pid,
                                                       std::uint64_t startStamp) override {
    return target_.openProcess(pid, startStamp);
  }
  std::uint64_t processStartStampNow() override { return target_.processStartStampNow(); }
  Status lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) override {
    return target_.lookupAccountSid(sid, user, domain);
  }
  Status readVersionInfo(const std::string& path, VersionInfo* info) override {
    return target_.readVersionInfo(path, info);
  }
  Expected<std::unique_ptr<MailslotReader>> createMailslot(const std::string& name) override {
    return target_.createMailslot(name);
  }
  Expected<std::unique_ptr<MailslotWriter>> openMailslot(const std::string& name) override {
    return target_.openMailslot(name);
  }
  Expected<std::unique_ptr<NamedMutexHold>> tryHoldNamedMutex(const std::string& name,
                                                              MutexTakers takers) override {
    return target_.tryHoldNamedMutex(name, takers);
  }
  bool prepareNamedMutex(const std::string& name) override {
    return target_.prepareNamedMutex(name);
  }
  Expected<std::unique_ptr<NamedEvent>> createEvent(const std::string& name,
                                                    NamedEvent::Reset reset,
                                                    NamedEvent::Users users) override {
    return target_.createEvent(name, reset, users);
  }
  Expected<std::unique_ptr<NamedEvent>> openEvent(const std::string& name,
                                                  NamedEvent::Reset reset) override {
    return target_.openEvent(name, reset);
  }
  bool setEvent(const std::string& name) override { return target_.setEvent(name); }
  Expected<int> waitForAnyEvent(const std::vector<NamedEvent*>& events,
                                std::chrono::milliseconds timeout) override {
    return target_.waitForAnyEvent(events, timeout);
  }
  Expected<std::unique_ptr<Device>> openDevice(const std::string& name) override {
    return target_.openDevice(name);
  }
  std::string namedObjectsRefusal() override { return target_.namedObjectsRefusal(); }
  std::string namedObjectsFolder() override { return target_.namedObjectsFolder(); }
  std::uint32_t processId() override { return target_.processId(); }
  std::uint32_t userId() override { return target_.userId(); }
  bool threadExists(std::uint32_t threadId) override { return target_.threadExists(threadId); }
  void raiseOpenFileLimit() override { target_.raiseOpenFileLimit(); }
  Status enableDebugPrivilege(std::string* failedStep) override {
    return target_.enableDebugPrivilege(failedStep);
  }
  void watchProcessSignals(std::function<void()> onEnd,
                           std::function<void()> onReconfigure) override {
    target_.watchProcessSignals(std::move(onEnd), std::move(onReconfigure));
  }
  std::string errorText(std::uint32_t code) override { return target_.errorText(code); }

 private:
  Env& target_;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_ENV_H_
