// The kernel trace session as the event tracer takes it over: a session of the same name left
// running is stopped and replaced, a session that cannot start stops the agent, and the
// tracer's end stops its own.
#include <gtest/gtest.h>

#include <cstring>

#include "concurrency/ProcessFlags.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"
#include "sources/KernelTracer.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

class KernelTracerTest : public ::testing::Test {
 protected:
  void TearDown() override { quitFlag.store(false); }

  testing::LogCapture capture_;
  LoggerUnit logger_{capture_.sender(), kModuleTarnwick};
};

TEST_F(KernelTracerTest, ARunningSessionIsReplacedAndTheTracersOwnStopsWithIt) {
  if (!testing::systemEnv().kernelTrace().permitted())
    GTEST_SKIP() << "the process connector needs root";
  if (testing::runsUnderWine()) GTEST_SKIP() << "Wine has no kernel logger: every start succeeds";
  std::vector<std::uint8_t> properties;
  {
    KernelTracer left(testing::systemEnv().kernelTrace(), logger_, 0);
    properties = left.allocateSessionProperties();
    // Left running, as a tracer whose thread failed leaves it.
    std::uint64_t session = 0;
    ASSERT_EQ(testing::systemEnv().kernelTrace().startTrace(&session, KernelTracer::kLoggerName,
                                                            properties),
              platform::kErrorAlreadyExists);
    KernelTracer replacing(testing::systemEnv().kernelTrace(), logger_, 0);
    EXPECT_FALSE(quitFlag.load());
    EXPECT_TRUE(capture_.contains("   Succeeded in stopping the logger."));
    EXPECT_EQ(testing::systemEnv().kernelTrace().controlTrace(KernelTracer::kLoggerName, properties,
                                                              platform::TraceControl::kQuery),
              platform::kErrorSuccess);
  }
  EXPECT_EQ(testing::systemEnv().kernelTrace().controlTrace(KernelTracer::kLoggerName, properties,
                                                            platform::TraceControl::kQuery),
            platform::kErrorInstanceNotFound);
}

TEST_F(KernelTracerTest, TheSessionPropertiesAreTheSystemsLayout) {
  KernelTracer tracer(testing::systemEnv().kernelTrace(), logger_, 64);
  std::vector<std::uint8_t> block = tracer.allocateSessionProperties();
  ASSERT_EQ(block.size(), 1160u);
  auto word = [&](std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, block.data() + at, 4);
    return value;
  };
  EXPECT_EQ(word(0), 1160u);
  EXPECT_EQ(word(24), 0x9E814AADu);
  EXPECT_EQ(word(44), 0x20000u);
  EXPECT_EQ(word(48), 64u);  // the test buffer, in kilobytes
  EXPECT_EQ(word(60), 2u);
  EXPECT_EQ(word(64), 0x100u);
  EXPECT_EQ(word(68), 1u);
  EXPECT_EQ(word(108), 640u);
  EXPECT_EQ(word(112), 120u);
  EXPECT_STREQ(reinterpret_cast<const char*>(block.data() + 120), "NT Kernel Logger");
}

}  // namespace
}  // namespace Vantor
