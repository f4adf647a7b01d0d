// What each platform layer provides, and SystemEnv gathers into the program's Env: one
// definition of each in every layer.
#ifndef TARNWICK_PLATFORM_SYSTEMSERVICES_H_
#define TARNWICK_PLATFORM_SYSTEMSERVICES_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace Vantor::platform {

FileSystem& systemFileSystem();
Registry& systemRegistry();
SystemFacts& systemFacts();
EnvironmentVariables& systemVariables();
KernelTrace& systemKernelTrace();
EventClasses& systemEventClasses();
PerformanceCounters& systemPerformanceCounters();
ServiceManager& systemServiceManager();

std::unique_ptr<ProcessTable> newProcessTable();
std::unique_ptr<ProcessHandle> openProcess(std::uint32_t pid, std::uint64_t startStamp);
std::uint64_t processStartStampNow();
bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain);
bool readVersionInfo(const std::string& path, VersionInfo* info);

std::unique_ptr<MailslotReader> createMailslot(const std::string& name);
std::unique_ptr<MailslotWriter> openMailslot(const std::string& name);
std::unique_ptr<NamedMutexHold> tryHoldNamedMutex(const std::string& name, MutexTakers takers);
bool prepareNamedMutex(const std::string& name);
std::unique_ptr<NamedEvent> createEvent(const std::string& name, NamedEvent::Reset reset,
                                        NamedEvent::Users users);
std::unique_ptr<NamedEvent> openEvent(const std::string& name, NamedEvent::Reset reset);
bool setEvent(const std::string& name);
int waitForAnyEvent(const std::vector<NamedEvent*>& events, std::chrono::milliseconds timeout);
std::unique_ptr<Device> openDevice(const std::string& name);

std::uint32_t currentProcessId();
std::uint32_t currentUserId();
bool threadExists(std::uint32_t threadId);
void raiseOpenFileLimit();
bool enableDebugPrivilege(std::string* failedStep);
void watchProcessSignals(std::function<void()> onEnd, std::function<void()> onReconfigure);
std::string systemErrorText(std::uint32_t code);
// Why the calling thread's last attempt to make a named object was refused; empty if none.
std::string namedObjectsRefusal();
std::string namedObjectsFolder();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_SYSTEMSERVICES_H_
