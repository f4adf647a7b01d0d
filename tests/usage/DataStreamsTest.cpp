#include <gtest/gtest.h>

#include <filesystem>

#include "support/LogCapture.h"
#include "support/SystemEnv.h"
#include "usage/DataStreams.h"

namespace Vantor {
namespace {

using testing::LogCapture;

int dataFiles(const std::string& directory, const std::string& prefix) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0 && name.find(".data") != std::string::npos) ++count;
  }
  return count;
}

class DataStreamsTest : public ::testing::Test {
 protected:
  DataStreamsTest()
      : streams_(testing::systemEnv(), capture_.sender()), work_(capture_.dir().path() + "/") {
    setDebugLevel(5);
  }
  LogCapture capture_;
  DataStreams streams_;
  std::string work_;
};

TEST_F(DataStreamsTest, DeliverAllRunsHooksAndSparesOnDemandStreamsUnlessForced) {
  int dumps = 0;
  streams_.registerLogFile(work_ + "ProcessLog", "process", TimeSpan(0), false, [&] {
    ++dumps;
    streams_.getLogFile("process")->writeRecord("interim record");
  });
  streams_.registerLogFile(work_ + "PerfMonLog", "perfmon", TimeSpan(60), true,
                           [this] { streams_.getLogFile("perfmon")->writeRecord("performance"); });
  streams_.registerLogFile(work_ + "Other", "process", TimeSpan(5), true, nullptr);  // ignored
  EXPECT_EQ(streams_.getLogFile("nothing"), nullptr);
  EXPECT_TRUE(streams_.releaseLogFile("nothing"));

  streams_.deliverAll(false);
  EXPECT_EQ(dumps, 1);
  EXPECT_EQ(dataFiles(work_, "ProcessLog"), 1);
  EXPECT_EQ(dataFiles(work_, "PerfMonLog"), 0);
  streams_.deliverAll(true);
  EXPECT_EQ(dataFiles(work_, "ProcessLog"), 2);
  EXPECT_EQ(dataFiles(work_, "PerfMonLog"), 1);
  EXPECT_EQ(dataFiles(work_, "Other"), 0);
}

TEST_F(DataStreamsTest, DeliveriesFollowTheBoundariesOncePerBoundary) {
  int delivered = 0;
  streams_.registerLogFile(work_ + "ProcessLog", "process", TimeSpan(0), false,
                           [&] { ++delivered; });
  streams_.applyGlobalInterval(TimeSpan(600));
  DateTime boundary(1216641600LL);
  boundary.alignDown(TimeSpan(600));
  streams_.deliveryPass(boundary + TimeSpan(30));  // the first pass never delivers
  EXPECT_EQ(delivered, 0);
  streams_.deliveryPass(boundary + TimeSpan(599));
  EXPECT_EQ(delivered, 0);
  streams_.deliveryPass(boundary + TimeSpan(600));
  EXPECT_EQ(delivered, 1);
  streams_.deliveryPass(boundary + TimeSpan(610));
  EXPECT_EQ(delivered, 1);
  // Asleep over two boundaries: one delivery, and back on the grid.
  streams_.deliveryPass(boundary + TimeSpan(2000));
  EXPECT_EQ(delivered, 2);
  EXPECT_TRUE(capture_.contains("Adjusted LastDelivered time of process after resuming."));
  streams_.deliveryPass(boundary + TimeSpan(2399));
  EXPECT_EQ(delivered, 2);
  streams_.deliveryPass(boundary + TimeSpan(2400));
  EXPECT_EQ(delivered, 3);
}

}  // namespace
}  // namespace Vantor

#include "usage/DataDelivery.h"

namespace Vantor {
namespace {

TEST_F(DataStreamsTest, TheDeliveryThreadDeliversAtTheBoundariesAndStopsWhenTold) {
  auto streams = std::make_shared<DataStreams>(testing::systemEnv(), capture_.sender());
  streams->registerLogFile(work_ + "ProcessLog", "process", TimeSpan(0), false, nullptr);
  ThreadTable table(capture_.sender());
  prepareDataDelivery(table, streams, TimeSpan(10), capture_.sender());
  ASSERT_TRUE(table.startThreads());
  streams->getLogFile("process")->writeRecord("a record");
  EXPECT_TRUE(testing::waitUntil([&] { return dataFiles(work_, "ProcessLog") == 1; },
                                 std::chrono::seconds(40)));
  streams->getLogFile("process")->writeRecord("idle streams make no files");
  table.stopThreads();
  // A signalled worker leaves within its pause, long before the second the agent gives it.
  EXPECT_TRUE(
      testing::waitUntil([&] { return table.row(0).job->status() != JobInstance::JS_RUNNING; },
                         std::chrono::seconds(1)));
  EXPECT_TRUE(table.verifyStoppedThreads());
  EXPECT_TRUE(capture_.contains("START THREAD DataDelivery ("));
  EXPECT_TRUE(capture_.contains("END THREAD DataDelivery"));
  EXPECT_TRUE(capture_.contains("   1 thread(s) ended nicely, 0 was killed, and 0 failed to end."));
}

}  // namespace
}  // namespace Vantor
