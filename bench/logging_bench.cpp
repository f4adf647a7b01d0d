// What logging and configuration cost: a debug call the level suppresses, a debug line that
// reaches the log file, and building a configuration of 10,000 entries.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "config/ConfReader.h"
#include "logging/LoggerUnit.h"
#include "support/SystemEnv.h"

namespace {

struct TempLog {
  TempLog() {
    char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
    directory = ::mkdtemp(pattern);
    ::setenv("VANTOR_REGISTRY", (directory + "/registry.reg").c_str(), 1);
    writer = std::make_shared<Vantor::LogWriter>(Vantor::testing::systemEnv(),
                                                 directory + "/tarnwick.log");
    sender = std::make_shared<Vantor::LogSender>(Vantor::kProgramTarnwick,
                                                 std::make_shared<Vantor::LogMessenger>(writer));
  }
  ~TempLog() { std::filesystem::remove_all(directory); }
  std::string directory;
  std::shared_ptr<Vantor::LogWriter> writer;
  std::shared_ptr<Vantor::LogSender> sender;
};

void SuppressedDebugCall(benchmark::State& state) {
  TempLog log;
  Vantor::LoggerUnit logger(log.sender, Vantor::kModuleTarnwick);
  Vantor::setDebugLevel(2);
  std::string name = "ProcessPoller";
  for (auto _ : state) {
    benchmark::DoNotOptimize(logger.debug(5, "THREAD %s is running as normal.", name));
  }
}
BENCHMARK(SuppressedDebugCall);

void DebugLineWrittenToFile(benchmark::State& state) {
  TempLog log;
  Vantor::LoggerUnit logger(log.sender, Vantor::kModuleTarnwick);
  Vantor::setDebugLevel(5);
  std::string name = "ProcessPoller";
  std::int64_t lines = 0;
  for (auto _ : state) {
    logger.debug(5, "THREAD %s is running as normal (%i).", name, ++lines);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DebugLineWrittenToFile);

void BuildConfigurationOf10000Entries(benchmark::State& state) {
  std::string text = "tarnwick() = \"\" {\n";
  for (int i = 0; i < 10000; ++i) {
    text +=
        "  key" + std::to_string(i) + "(String) = \"value number " + std::to_string(i) + "\" {}\n";
  }
  text += "}\n";
  Vantor::setDebugLevel(0);
  Vantor::ConfReader reader(nullptr);
  for (auto _ : state) reader.buildFromText(text);
  std::string value;
  if (reader.getString("tarnwick.key9999", value) != 0) state.SkipWithError("not built");
  state.SetItemsProcessed(state.iterations() * 10000);
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BuildConfigurationOf10000Entries)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
