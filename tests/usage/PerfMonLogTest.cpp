#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <sstream>

#include "platform/Env.h"
#include "platform/ProcessPerformance.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"
#include "usage/PerfMonLog.h"

namespace Vantor {
namespace {

using testing::LogCapture;

// The records of a process measured for the four counters a record is made of, and one more
// that the object lacks.
class PerfMonLogTest : public ::testing::Test {
 protected:
  PerfMonLogTest()
      : streams_(testing::systemEnv(), capture_.sender()),
        log_(logger_, accounts_, primeTime_, streams_, facts_, testing::systemEnv().systemFacts()),
        process_(std::make_shared<Process>(testing::systemEnv(),
                                           static_cast<std::uint32_t>(::getpid()), &start_, true)) {
    streams_.registerLogFile(capture_.dir().path() + "/PerfMonLog", "perfmon", TimeSpan(3600), true,
                             nullptr);
    auto setup = std::make_shared<PerformanceSetup>();
    setup->counters.parse(
        "No Such Counter | max\nElapsed Time\n% Processor Time | avg\nPrivate Bytes | max\n"
        "IO Data Bytes/sec | sum\n",
        testing::systemEnv().performanceCounters().englishCounterNames());
    setup->rules.parse("*\n");
    log_.configure(setup);
    log_.registerIfMeasured(process_, 0);
  }
  // The exit field and the second line of each record written so far.
  std::vector<std::pair<std::string, std::string>> records() {
    streams_.releaseLogFile("perfmon");
    std::vector<std::string> files;
    for (const auto& file : std::filesystem::directory_iterator(capture_.dir().path())) {
      if (file.path().extension() == ".data") files.push_back(file.path().string());
    }
    std::sort(files.begin(), files.end());  // in the order written: few enough to sort so
    std::vector<std::pair<std::string, std::string>> lines;
    for (const std::string& file : files) {
      std::istringstream text(testing::readFile(file));
      for (std::string first, second; std::getline(text, first) && std::getline(text, second);) {
        std::string exit = first.substr(first.find(":0:", first.find(":0:Linux:0:") + 10) + 3);
        lines.emplace_back(exit.substr(0, exit.find(':')), second);
      }
    }
    return lines;
  }

  LogCapture capture_;
  LoggerUnit logger_{capture_.sender(), kModuleTarnwick};
  Accounts accounts_{testing::systemEnv()};
  PrimeTime primeTime_;
  DataStreams streams_;
  InventoryOps::StaticInfo facts_{"N/A", "here", "amd64", "Linux"};
  PerfMonLog log_;
  DateTime start_{1796600000LL};
  ProcessRef process_;
};

TEST_F(PerfMonLogTest, EachDumpCoversTheTimeSinceTheLastWithEveryDigit) {
  // Wine names few counters and measures none of a process's.
  if (testing::runsUnderWine()) GTEST_SKIP() << "Wine has no process performance data";
  std::vector<CounterSample>& samples = process_->samples();
  ASSERT_EQ(samples.size(), 5u);
  EXPECT_EQ(samples[0].counterIndex, 0u);  // never read: in error, as it stays
  samples[0].failed = true;
  samples[2].add(50);
  samples[2].add(150);
  samples[3].add(4e9);
  samples[4].add(1000);

  std::int64_t dump = start_.getValue() + 3600;
  log_.logPerfMonData(*process_, dump);
  // An hour at a whole processor and 4 GB: 14,400,000,000,000 memory seconds, all digits.
  ASSERT_EQ(records().size(), 1u);
  EXPECT_EQ(records()[0].first, "none");
  EXPECT_TRUE(records()[0].second.starts_with("1:3600:3600:1000:100:3600:"));
  EXPECT_TRUE(records()[0].second.ends_with(":14400000000000:14400000000000"));
  // The aggregates start again at the dump; the next record measures from it.
  EXPECT_EQ(samples[2].count, 0u);
  EXPECT_EQ(samples[3].value, 0.0);
  samples[2].add(25);
  log_.logPerfMonData(*process_, dump + 60);
  EXPECT_TRUE(records()[1].second.starts_with("1:15:60:0:25:60:0:0:0")) << records()[1].second;
}

#ifndef _WIN32
TEST_F(PerfMonLogTest, AProcessRunsUntilTheMapEndsIt) {
  // Ended, but (with polling) not yet seen to: a dump finds it in the map.
  pid_t child = ::fork();
  if (child == 0) {
    ::pause();
    ::_exit(0);
  }
  auto process = std::make_shared<Process>(testing::systemEnv(), static_cast<std::uint32_t>(child),
                                           &start_, true);
  log_.registerIfMeasured(process, 0);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  process->samples()[2].add(100);
  process->samples()[2].failed = true;  // the last reading found it gone
  std::int64_t dump = start_.getValue() + 3600;
  log_.logPerfMonData(*process, dump);
  log_.logPerfMonData(*process, dump + 60);
  // Its end, as a poll dates it back before the last dump: no time is counted twice.
  process->setState(ProcessState::Ended);
  process->setEndTime(DateTime(dump + 55LL));
  log_.logPerfMonData(*process, 0);
  auto written = records();
  ASSERT_EQ(written.size(), 3u);
  // Each covers its own time, its figures reported once.
  EXPECT_EQ(written[0],
            (std::pair<std::string, std::string>("none", "1:3600:3600:0:100:3600:0:0:0")));
  EXPECT_EQ(written[1], (std::pair<std::string, std::string>("none", "1:0:60:0:0:60:0:0:0")));
  EXPECT_EQ(written[2], (std::pair<std::string, std::string>("0", "1:0:0:0:0:0:0:0:0")));
}
#endif

TEST(FormatNumberTest, WritesEveryDigitAndNoTrailingZeros) {
  EXPECT_EQ(formatNumber(2.5, 8), "2.5");
  EXPECT_EQ(formatNumber(3, 8), "3");
  EXPECT_EQ(formatNumber(0, 8), "0");
  EXPECT_EQ(formatNumber(1e20, 8), "100000000000000000000");
  EXPECT_EQ(formatNumber(0.123456789, 8), "0.12345679");
  EXPECT_EQ(formatNumber(std::numeric_limits<double>::infinity(), 8), "#ERR");
}

}  // namespace
}  // namespace Vantor
