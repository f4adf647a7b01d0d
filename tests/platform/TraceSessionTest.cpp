// The kernel trace session on the process connector: its messages, how they become starts and
// ends with losses counted, and a live session as the agent uses it.
#include <gtest/gtest.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "platform/TraceSession.h"
#include "platform/posix/ProcConnector.h"
#include "support/SystemEnv.h"

extern char** environ;

namespace Vantor::platform {
namespace {

// One connector datagram as the kernel sends it.
std::vector<std::uint8_t> datagram(std::uint32_t what, std::uint32_t cpu, std::uint32_t sequence,
                                   std::vector<std::uint32_t> fields) {
  std::vector<std::uint8_t> bytes(NLMSG_HDRLEN + sizeof(cn_msg) + 16 + 4 * fields.size());
  auto* header = reinterpret_cast<nlmsghdr*>(bytes.data());
  header->nlmsg_len = static_cast<std::uint32_t>(bytes.size());
  header->nlmsg_type = NLMSG_DONE;
  auto* connector = reinterpret_cast<cn_msg*>(bytes.data() + NLMSG_HDRLEN);
  connector->id = {CN_IDX_PROC, CN_VAL_PROC};
  connector->seq = sequence;
  connector->len = static_cast<std::uint16_t>(16 + 4 * fields.size());
  std::uint8_t* body = bytes.data() + NLMSG_HDRLEN + sizeof(cn_msg);
  std::memcpy(body, &what, 4);
  std::memcpy(body + 4, &cpu, 4);
  std::memcpy(body + 16, fields.data(), 4 * fields.size());
  return bytes;
}

ProcChange feed(ProcEventTracker& tracker, const std::vector<std::uint8_t>& bytes) {
  ProcEvent event;
  EXPECT_TRUE(parseProcEvent(bytes.data(), bytes.size(), &event));
  return tracker.handle(event);
}

constexpr auto kFork = static_cast<std::uint32_t>(ProcEventKind::kFork);
constexpr auto kExec = static_cast<std::uint32_t>(ProcEventKind::kExec);
constexpr auto kExit = static_cast<std::uint32_t>(ProcEventKind::kExit);

TEST(ProcConnectorTest, OnlyProgramsStartAndOnlyTheirProcessesEnd) {
  ProcEventTracker tracker;
  std::uint32_t sequence = 0;
  auto next = [&](std::uint32_t what, std::vector<std::uint32_t> fields) {
    return feed(tracker, datagram(what, 0, sequence++, std::move(fields)));
  };
  // A shell forks a child that runs a program: one start, one end with the exit code.
  EXPECT_EQ(next(kFork, {100, 100, 200, 200}).kind, ProcChange::kNothing);
  ProcChange started = next(kExec, {200, 200});
  EXPECT_EQ(started.kind, ProcChange::kStart);
  EXPECT_EQ(started.pid, 200u);
  EXPECT_EQ(started.parentPid, 100u);
  ProcChange ended = next(kExit, {200, 200, 3 << 8, SIGCHLD});
  EXPECT_EQ(ended.kind, ProcChange::kEnd);
  EXPECT_EQ(ended.exitStatus, 3);
  // A subshell that never runs a program ends as one; a thread starts nothing and its end
  // is its process's.
  EXPECT_EQ(next(kFork, {100, 100, 201, 201}).kind, ProcChange::kNothing);
  EXPECT_EQ(next(kExit, {201, 201, 0, SIGCHLD}).kind, ProcChange::kForkedEnd);
  EXPECT_EQ(next(kFork, {100, 100, 202, 100}).kind, ProcChange::kNothing);
  ProcChange thread = next(kExit, {202, 100, 0, 0});
  EXPECT_EQ(thread.kind, ProcChange::kThreadEnd);
  EXPECT_EQ(thread.pid, 100u);
  // A process that ran before the session: its end, by a signal with a core, counts.
  ended = next(kExit, {50, 50, 0x80 | SIGSEGV, SIGCHLD});
  EXPECT_EQ(ended.kind, ProcChange::kEnd);
  EXPECT_EQ(ended.exitStatus, 128 + SIGSEGV);
  EXPECT_EQ(tracker.lost(), 0u);
}

TEST(ProcConnectorTest, LossIsCountedFromEachProcessorsSequence) {
  ProcEventTracker tracker;
  feed(tracker, datagram(kExec, 0, 10, {1, 1}));
  feed(tracker, datagram(kExec, 1, 500, {2, 2}));
  feed(tracker, datagram(kExec, 0, 14, {3, 3}));  // 11, 12, 13 lost
  feed(tracker, datagram(kExec, 1, 501, {4, 4}));
  feed(tracker, datagram(kExec, 0, 12, {5, 5}));  // late, not lost twice
  EXPECT_EQ(tracker.lost(), 3u);
  feed(tracker, datagram(kExec, 2, 0xffffffff, {6, 6}));
  feed(tracker, datagram(kExec, 2, 1, {7, 7}));  // wrapped past 0: one lost
  EXPECT_EQ(tracker.lost(), 4u);
}

TEST(ProcConnectorTest, DamagedDatagramsAreRefused) {
  std::vector<std::uint8_t> good = datagram(kExit, 0, 1, {9, 9, 0, 17});
  ProcEvent event;
  ASSERT_TRUE(parseProcEvent(good.data(), good.size(), &event));
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    std::vector<std::uint8_t> shorter(good.begin(), good.begin() + static_cast<long>(cut));
    EXPECT_FALSE(parseProcEvent(shorter.data(), shorter.size(), &event)) << cut;
  }
  std::vector<std::uint8_t> wrongIndex = good;
  reinterpret_cast<cn_msg*>(wrongIndex.data() + NLMSG_HDRLEN)->id.idx = CN_IDX_PROC + 1;
  EXPECT_FALSE(parseProcEvent(wrongIndex.data(), wrongIndex.size(), &event));
  std::vector<std::uint8_t> tooLong = good;
  reinterpret_cast<cn_msg*>(tooLong.data() + NLMSG_HDRLEN)->len = 0xffff;
  EXPECT_FALSE(parseProcEvent(tooLong.data(), tooLong.size(), &event));
}

TEST(TraceSessionTest, ALiveSessionReportsAChildAndEndsWhenStopped) {
  if (!testing::systemEnv().kernelTrace().permitted())
    GTEST_SKIP() << "the process connector needs root";
  const std::string name = "test session";
  std::vector<std::uint8_t> properties(kTracePropertiesSize);
  properties[kTraceLogFileModeAt + 1] = kTraceRealTimeMode >> 8;
  properties[kTraceEnableFlagsAt] = kTraceFlagProcess;
  std::uint64_t session = 0;
  ASSERT_EQ(testing::systemEnv().kernelTrace().startTrace(&session, name, properties),
            kErrorSuccess);
  EXPECT_EQ(testing::systemEnv().kernelTrace().startTrace(&session, name, properties),
            kErrorAlreadyExists);
  EXPECT_EQ(testing::systemEnv().kernelTrace().controlTrace(name, properties, TraceControl::kQuery),
            kErrorSuccess);
  Expected<std::uint64_t> opened =
      testing::systemEnv().kernelTrace().openTrace(name, kTraceRealTimeMode);
  ASSERT_TRUE(opened);
  std::uint64_t consumer = opened.value();
  EXPECT_EQ(testing::systemEnv().kernelTrace().openTrace(name, kTraceRealTimeMode).error(),
            kErrorBusy);  // one consumer

  pid_t child = 0;
  char sh[] = "/bin/sh";
  char flag[] = "-c";
  // It runs a moment before it ends itself, as a program does: one that lives a millisecond on
  // a machine busy with other listeners is gone before the connector's reader gets to it.
  char script[] = "sleep 0.1; kill -TERM $$";
  char* arguments[] = {sh, flag, script, nullptr};
  ASSERT_EQ(::posix_spawn(&child, sh, nullptr, nullptr, arguments, environ), 0);
  ::waitpid(child, nullptr, 0);

  std::atomic<bool> sawEnd{false};
  std::string image;
  std::thread stopper;
  std::uint32_t result = testing::systemEnv().kernelTrace().processTrace(
      consumer, [&](const TraceLogFile&) { return true; },
      [&](const EventTrace& event) {
        if (event.processId != static_cast<std::uint32_t>(child)) return;
        if (event.type == kTraceTypeStart) {
          image.assign(reinterpret_cast<const char*>(event.mofData) +
                       (testing::systemEnv().kernelTrace().runsOn64BitSystem() ? 64 : 48));
        } else if (event.type == kTraceTypeEnd && !sawEnd.exchange(true)) {
          std::int32_t status = 0;
          std::memcpy(
              &status,
              event.mofData + (testing::systemEnv().kernelTrace().runsOn64BitSystem() ? 20 : 16),
              4);
          EXPECT_EQ(status, 128 + SIGTERM);
          stopper = std::thread([&] {
            testing::systemEnv().kernelTrace().controlTrace(name, properties, TraceControl::kStop);
          });
        }
      });
  EXPECT_EQ(result, kErrorSuccess);
  if (stopper.joinable()) stopper.join();
  EXPECT_TRUE(sawEnd.load());
  EXPECT_EQ(image, "/usr/bin/dash");
  EXPECT_EQ(testing::systemEnv().kernelTrace().closeTrace(consumer), kErrorSuccess);
  EXPECT_EQ(testing::systemEnv().kernelTrace().controlTrace(name, properties, TraceControl::kQuery),
            kErrorInstanceNotFound);
}

}  // namespace
}  // namespace Vantor::platform
