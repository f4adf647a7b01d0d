// The Linux implementations that PosixEnv gathers into the program's Env.
#ifndef TARNWICK_PLATFORM_POSIX_POSIXSERVICES_H_
#define TARNWICK_PLATFORM_POSIX_POSIXSERVICES_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"

namespace Vantor::platform {

FileSystem& posixFileSystem();
Registry& posixRegistry();
SystemFacts& posixSystemFacts();
EnvironmentVariables& posixVariables();
KernelTrace& posixKernelTrace();
EventClasses& posixEventClasses();
PerformanceCounters& posixPerformanceCounters();

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

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXSERVICES_H_
