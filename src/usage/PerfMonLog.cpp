#include "usage/PerfMonLog.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iterator>
#include <limits>

#include "foundation/FileUtils.h"
#include "platform/Env.h"
#include "platform/SystemFacts.h"
#include "usage/RecordFields.h"

namespace Vantor {

namespace {

constexpr int kDecimals = 8;
constexpr std::int64_t kMemoryRereadSeconds = 3599;
constexpr double kBytesPerMegabyte = 1048576.0;

}  // namespace

bool PerformanceSetup::matchProcessRules(std::string_view computerName,
                                         const std::string& executable) const {
  return !rules.empty() && rules.matchModuleFilter(computerName, FileUtils::baseName(executable));
}

std::string formatNumber(double value, int precision) {
  // Room for every digit of the largest double, with the decimals asked for.
  constexpr int kMaxPrecision = 64;
  char digits[std::numeric_limits<double>::max_exponent10 + kMaxPrecision + 8];
  if (!std::isfinite(value) || precision < 0 || precision > kMaxPrecision) return "#ERR";
  auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value,
                                    std::chars_format::fixed, precision);
  if (error != std::errc()) return "#ERR";
  std::string text(digits, end);
  if (precision > 0) {
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

PerfMonLog::PerfMonLog(const LoggerUnit& logger, const Accounts& accounts,
                       const PrimeTime& primeTime, DataStreams& streams,
                       const InventoryOps::StaticInfo& facts, platform::SystemFacts& system)
    : logger_(logger),
      system_(system),
      accounts_(accounts),
      primeTime_(primeTime),
      streams_(streams),
      facts_(facts) {}

void PerfMonLog::configure(std::shared_ptr<const PerformanceSetup> setup) {
  platform::MutexLock lock(&mutex_);
  enabled_.store(setup != nullptr);
  setup_ = std::move(setup);
  if (!setup_) newcomers_.clear();
}

std::shared_ptr<const PerformanceSetup> PerfMonLog::setup() const {
  platform::MutexLock lock(&mutex_);
  return setup_;
}

void PerfMonLog::registerIfMeasured(const ProcessRef& process, std::int64_t since) {
  std::shared_ptr<const PerformanceSetup> setup = this->setup();
  bool measured = setup && setup->matchProcessRules(Process::computerName(), process->executable());
  process->setMeasured(measured);
  std::vector<CounterSample>& samples = process->samples();
  samples.clear();
  if (!measured) return;
  std::uint32_t pid = process->pid();
  logger_.debug(5, "Adding counters for PID=%i", pid);
  samples.reserve(setup->counters.counters().size());
  for (const CounterSpec& counter : setup->counters.counters()) {
    CounterSample& sample = samples.emplace_back();
    sample.pid = pid;
    sample.counterIndex = counter.index;
    sample.aggregation = counter.aggregation;
    sample.lastOutput = static_cast<std::uint32_t>(since);
    sample.restart();
    logger_.debug(5, "   Added counter %i for PID=%i", counter.index, pid);
  }
  {
    platform::MutexLock lock(&mutex_);
    newcomers_.push_back(process);
  }
  registrations_->set();
}

std::vector<ProcessRef> PerfMonLog::takeNewcomers() {
  platform::MutexLock lock(&mutex_);
  return std::move(newcomers_);
}

double PerfMonLog::totalMemoryMegabytes(std::int64_t now) {
  platform::MutexLock lock(&mutex_);
  if (now - memoryReadAt_ <= kMemoryRereadSeconds) return memoryMegabytes_;
  memoryReadAt_ = now;
  std::optional<std::uint64_t> bytes = system_.totalPhysicalMemory();
  // Whole megabytes; never 0, which would divide the share by nothing.
  memoryMegabytes_ = bytes && (*bytes >> 20) > 0 ? static_cast<double>(*bytes >> 20) : 1.0;
  if (!bytes && !memoryUnknownLogged_) {
    memoryUnknownLogged_ = true;
    logger_.debug(1, "logPerfMonData: Error: Unable to read the total physical memory");
  }
  return memoryMegabytes_;
}

void PerfMonLog::logPerfMonData(Process& process, std::int64_t t) {
  if (!process.measured()) return;
  std::uint32_t pid = process.pid();
  logger_.debug(4, "logPerfMonData: Writing \"%s\" (%i) to file...", process.productName(), pid);
  // Only the map's handling of its end ends a process's figures (t 0). Until then it runs,
  // whatever a look at it says now (with polling, its end is seen up to a poll later); a
  // program replaced by another ends there, although the process runs on.
  bool ended = t < 1;
  std::int64_t now = ended ? static_cast<std::int64_t>(DateTime().getValue()) : t;
  double totalMemory = totalMemoryMegabytes(now);
  logger_.debug(4, "Dumping performance data for pid:%i", pid);
  std::string record = firstLine(process, ended);
  Figures figures = takeFigures(process, ended, now);
  logger_.debug(5,
                "total_mem_mb=%s, elapsed_time=%s, avg_cpu=%s, avg_mem_bytes=%s (%s mb), "
                "io_bytes=%s",
                formatNumber(totalMemory, kDecimals), formatNumber(figures.elapsed, kDecimals),
                formatNumber(figures.cpu, kDecimals), formatNumber(figures.memory, kDecimals),
                formatNumber(figures.memory / kBytesPerMegabyte, kDecimals),
                formatNumber(figures.io, kDecimals));
  double memorySeconds = figures.elapsed * figures.memory;
  const double line[] = {figures.elapsed * figures.cpu,
                         figures.elapsed,
                         figures.io,
                         figures.cpu * 100,
                         figures.elapsed,
                         memorySeconds * 100 / kBytesPerMegabyte / totalMemory,
                         memorySeconds,
                         memorySeconds};
  record += "\n1:";
  for (std::size_t i = 0; i < std::size(line); ++i) {
    record += (i == 0 ? "" : ":") + formatNumber(line[i], kDecimals);
  }
  std::shared_ptr<LogFile> stream = streams_.getLogFile("perfmon");
  if (!stream) {
    logger_.critical(4, "perfmon");
    return;
  }
  stream->writeRecord(record);
  logger_.debug(5, "Logged performance data for process %i", pid);
}

std::string PerfMonLog::firstLine(Process& process, bool ended) const {
  ExecutableFields executable = executableFields(process.executable());
  std::string line = "1:" + std::to_string(process.startTime().getValue()) + ":87:0:undef";
  for (const std::string& field :
       {recordField(accounts_.mapUser(process.fullUserName())), facts_.computerName,
        facts_.architecture, facts_.osName, executable.file}) {
    line += ":0:" + field;
  }
  std::uint32_t exitCode = process.getExitCode();
  line +=
      !ended || exitCode == Process::kStillActive ? ":0:none" : ":0:" + std::to_string(exitCode);
  for (const std::string& field :
       {facts_.domain, std::string(PrimeTime::className(primeTime_.classify(process.startTime()))),
        recordField(process.productName())}) {
    line += ":0:" + field;
  }
  return line;
}

PerfMonLog::Figures PerfMonLog::takeFigures(Process& process, bool ended, std::int64_t now) const {
  std::uint32_t pid = process.pid();
  std::shared_ptr<const PerformanceSetup> setup = this->setup();
  auto indexOf = [&](std::string_view name) { return setup ? setup->counters.indexOf(name) : 0; };
  const std::uint32_t elapsedIndex = indexOf("Elapsed Time");
  const std::uint32_t cpuIndex = indexOf("% Processor Time");
  const std::uint32_t memoryIndex = indexOf("Private Bytes");
  const std::uint32_t ioIndex = indexOf("IO Data Bytes/sec");
  Figures figures;
  for (CounterSample& sample : process.samples()) {
    std::uint32_t index = sample.counterIndex;
    if (sample.failed) {
      if (sample.count != 0) {
        logger_.debug(5,
                      "Don't have a valid last poll for process %i, so we use the value from "
                      "the poll before",
                      pid);
      } else if (LoggerUnit::wants(5)) {
        logger_.debug(1, "Failed to ever poll process %i", pid);
      }
      if (!ended) {
        logger_.debug(3, "WARNING: Invalid counter=%i, but process PID=%i still active", index,
                      pid);
      } else {
        logger_.debug(5, "Invalid counter=%i, as process PID=%i has ended", index, pid);
      }
    }
    bool totalled =
        sample.aggregation == Aggregation::kSum || sample.aggregation == Aggregation::kAverage;
    // Nothing read since the last record is nothing to report, not a minimum's start value.
    double figure = sample.count == 0 ? 0 : totalled ? sample.value / sample.count : sample.value;
    if (!(figure >= 0) || !std::isfinite(figure)) {
      logger_.debug(5, "WARNING: Negative Value Counter, PID:%i, CID:%i, CtrValue:%s, CalcVal:%s",
                    pid, index, formatNumber(sample.value, 6), formatNumber(figure, 6));
      figure = 0;
    }
    logger_.debug(5, "Value of counter %i is %s", index, formatNumber(figure, kDecimals));
    if (index != 0 && index == elapsedIndex) {
      std::int64_t end = ended ? static_cast<std::int64_t>(process.endTime().getValue()) : now;
      std::int64_t start = sample.lastOutput >= 1
                               ? static_cast<std::int64_t>(sample.lastOutput)
                               : static_cast<std::int64_t>(process.startTime().getValue());
      // A poll dates an end back, perhaps before the last dump: that time was counted there.
      figures.elapsed = static_cast<double>(std::max<std::int64_t>(end - start, 0));
    } else if (index != 0 && index == cpuIndex) {
      figures.cpu = figure * 0.01;
    } else if (index != 0 && index == memoryIndex) {
      figures.memory = figure;
    } else if (index != 0 && index == ioIndex) {
      figures.io = figure;
    }
    // Also a sample in error: its figure is in this record, and must not be in the next.
    sample.lastOutput = static_cast<std::uint32_t>(now);
    if (!ended) sample.restart();
  }
  return figures;
}

}  // namespace Vantor
