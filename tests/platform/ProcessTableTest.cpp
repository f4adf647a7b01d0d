#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <thread>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/ProcessTable.h"
#include "support/SystemEnv.h"
#include "support/TempDir.h"

extern char** environ;

namespace Vantor::platform {
namespace {

pid_t startSleep() {
  pid_t child = 0;
  const char* argv[] = {"sleep", "30", nullptr};
  EXPECT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
  return child;
}

TEST(ProcessTableTest, ListsUserProcessesButNoKernelThreads) {
  std::unique_ptr<ProcessTable> table = testing::systemEnv().newProcessTable();
  std::vector<ListedProcess> listed;
  ASSERT_TRUE(table->list(&listed));
  std::vector<ListedProcess> again;  // kernel threads known from the first listing are not read
  ASSERT_TRUE(table->list(&again));
  std::vector<std::uint32_t> pids;
  for (const ListedProcess& process : again) pids.push_back(process.id.pid);
  auto self = std::find(pids.begin(), pids.end(), static_cast<std::uint32_t>(getpid()));
  ASSERT_NE(self, pids.end());
  std::unique_ptr<ProcessHandle> own =
      std::move(testing::systemEnv().openProcess(static_cast<std::uint32_t>(getpid()), 0).value());
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(again[static_cast<std::size_t>(self - pids.begin())].id.startStamp, own->startStamp());
  EXPECT_NE(own->startStamp(), 0u);
  int kernelThreadsSeen = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::string name = entry.path().filename().string();
    std::string comm = testing::readFile(entry.path().string() + "/comm");
    if (comm.rfind("kworker/", 0) != 0 && comm.rfind("ksoftirqd/", 0) != 0) continue;
    ++kernelThreadsSeen;
    EXPECT_EQ(std::find(pids.begin(), pids.end(), std::stoul(name)), pids.end()) << comm;
  }
  if (kernelThreadsSeen == 0) std::cout << "[   NOTE   ] no kernel threads visible here\n";
}

TEST(ProcessTableTest, AHandleFollowsItsProcessToTheEnd) {
  pid_t child = startSleep();
  std::unique_ptr<ProcessHandle> handle =
      std::move(testing::systemEnv().openProcess(static_cast<std::uint32_t>(child), 0).value());
  ASSERT_NE(handle, nullptr);
  std::string path;
  ASSERT_TRUE(handle->executable(&path));
  EXPECT_EQ(path, std::filesystem::canonical("/proc/" + std::to_string(child) + "/exe").string());
  std::string sid;
  ASSERT_TRUE(handle->userSid(&sid));
  EXPECT_EQ(sid, "S-1-22-1-" + std::to_string(getuid()));
  std::string user;
  std::string domain = "stale";
  ASSERT_TRUE(testing::systemEnv().lookupAccountSid(sid, &user, &domain));
  EXPECT_FALSE(user.empty());
  EXPECT_TRUE(domain.empty());  // a local account
  std::uint32_t parent = 0;
  ASSERT_TRUE(handle->parentPid(&parent));
  EXPECT_EQ(parent, static_cast<std::uint32_t>(getpid()));
  std::vector<std::string> modules;
  // The child may still be loading its libraries.
  EXPECT_TRUE(testing::waitUntil(
      [&] {
        return handle->modules(&modules) &&
               std::any_of(modules.begin(), modules.end(), [](const std::string& m) {
                 return m.find("libc") != std::string::npos;
               });
      },
      std::chrono::seconds(5)));
  ASSERT_FALSE(modules.empty());
  EXPECT_EQ(modules.front(), path);
  std::uint32_t code = 0;
  ASSERT_TRUE(handle->exitCode(&code));
  EXPECT_EQ(code, kStillActive);
  EXPECT_TRUE(handle->isRunning());

  // Ended but not yet collected: no longer running, still its own user.
  kill(child, SIGKILL);
  EXPECT_TRUE(testing::waitUntil([&] { return !handle->isRunning(); }, std::chrono::seconds(5)));
  EXPECT_TRUE(handle->userSid(&sid));
  waitpid(child, nullptr, 0);
  EXPECT_FALSE(handle->isRunning());
  ASSERT_TRUE(handle->exitCode(&code));
  EXPECT_EQ(code, 0u);
  // The directory stays bound to the ended process, even if its pid comes back.
  EXPECT_EQ(handle->executable(&path).code(), kErrorInvalidParameter);

  // The same pid with another start stamp is another process.
  pid_t next = startSleep();
  std::unique_ptr<ProcessHandle> other =
      std::move(testing::systemEnv().openProcess(static_cast<std::uint32_t>(next), 0).value());
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(testing::systemEnv()
                .openProcess(static_cast<std::uint32_t>(next), other->startStamp() + 1)
                .error(),
            kErrorInvalidParameter);
  kill(next, SIGKILL);
  waitpid(next, nullptr, 0);

  EXPECT_EQ(testing::systemEnv().openProcess(static_cast<std::uint32_t>(child), 0).error(),
            kErrorInvalidParameter);
  EXPECT_FALSE(testing::systemEnv().lookupAccountSid("S-1-5-18", &user, &domain));
  EXPECT_FALSE(testing::systemEnv().lookupAccountSid("S-1-22-1-4294967295", &user,
                                                     &domain));  // no user's id
  // A user without an account entry, as a container's: named by number, on this computer.
  ASSERT_TRUE(testing::systemEnv().lookupAccountSid("S-1-22-1-4000000000", &user, &domain));
  EXPECT_EQ(user, "4000000000");
  EXPECT_EQ(domain, "");
}

TEST(ProcessTableTest, AProcessWhoseFirstThreadEndedRunsOn) {
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    pthread_t worker;
    pthread_create(
        &worker, nullptr,
        [](void*) -> void* {
          ::pause();
          return nullptr;
        },
        nullptr);
    ::syscall(SYS_exit, 0);  // this thread alone ends; the process lives on in its worker
  }
  std::unique_ptr<ProcessTable> table = testing::systemEnv().newProcessTable();
  std::vector<ListedProcess> listed;
  std::unique_ptr<ProcessHandle> handle;
  ASSERT_TRUE(testing::waitUntil(
      [&] {
        return testing::readFile("/proc/" + std::to_string(child) + "/stat").find(") Z ") !=
               std::string::npos;
      },
      std::chrono::seconds(5)));
  ASSERT_TRUE(table->list(&listed));
  auto found = std::find_if(listed.begin(), listed.end(), [&](const ListedProcess& process) {
    return process.id.pid == static_cast<std::uint32_t>(child);
  });
  ASSERT_NE(found, listed.end());
  EXPECT_FALSE(found->ended);
  handle = table->open(found->id);
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(handle->isRunning());
  std::string path;
  ASSERT_TRUE(handle->executable(&path));
  EXPECT_TRUE(path.ends_with("platform_tests")) << path;
  // Its first thread maps nothing any more; the worker has the process's code.
  std::vector<std::string> modules;
  ASSERT_TRUE(handle->modules(&modules));
  EXPECT_EQ(modules.front(), path);
  EXPECT_TRUE(std::any_of(modules.begin(), modules.end(), [](const std::string& module) {
    return module.find("libc.so") != std::string::npos;
  })) << modules.size();
  kill(child, SIGKILL);
  EXPECT_TRUE(testing::waitUntil([&] { return !handle->isRunning(); }, std::chrono::seconds(5)));
  waitpid(child, nullptr, 0);
}

// The kernel hands out the pid after the one written here to the next new process: only root
// may write it.
bool nextPidWillBe(pid_t pid) {
  std::FILE* file = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (file == nullptr) return false;
  bool written = std::fprintf(file, "%d", pid - 1) > 0;
  return std::fclose(file) == 0 && written;
}

TEST(ProcessTableTest, AReusedPidIsAnotherProcess) {
  std::unique_ptr<ProcessTable> table = testing::systemEnv().newProcessTable();
  pid_t first = startSleep();
  std::vector<ListedProcess> listed;
  ASSERT_TRUE(table->list(&listed));
  auto find = [&](pid_t pid) {
    auto found = std::find_if(listed.begin(), listed.end(), [&](const ListedProcess& process) {
      return process.id.pid == static_cast<std::uint32_t>(pid);
    });
    return found == listed.end() ? ProcessId{} : found->id;
  };
  ProcessId old = find(first);
  ASSERT_NE(old.startStamp, 0u);
  std::unique_ptr<ProcessHandle> oldHandle = table->open(old);
  ASSERT_NE(oldHandle, nullptr);
  oldHandle->release();
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // a later clock tick
  pid_t second = -1;
  for (int attempt = 0; attempt < 20 && second != first; ++attempt) {
    if (!nextPidWillBe(first)) GTEST_SKIP() << "the next pid cannot be chosen here";
    if (second > 0) {
      kill(second, SIGKILL);
      waitpid(second, nullptr, 0);
    }
    second = startSleep();
  }
  ASSERT_EQ(second, first) << "another process took the pid first";
  ASSERT_TRUE(table->list(&listed));
  ProcessId reused = find(second);
  EXPECT_NE(reused.startStamp, old.startStamp);
  EXPECT_EQ(table->open(old), nullptr);
  EXPECT_FALSE(oldHandle->isRunning());
  std::string path;
  EXPECT_FALSE(oldHandle->executable(&path));
  std::unique_ptr<ProcessHandle> fresh = table->open(reused);
  ASSERT_NE(fresh, nullptr);
  EXPECT_TRUE(fresh->isRunning());
  kill(second, SIGKILL);
  waitpid(second, nullptr, 0);
}

}  // namespace
}  // namespace Vantor::platform
