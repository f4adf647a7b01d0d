// The agent with the hooks that tests need and no user may reach: a build for tests only.
// Keys under "tarnwick.testing": "check-period" (how often the status monitor checks the
// workers), "trace-buffer" (a small kernel trace buffer in kilobytes, to make the session lose
// events) and "worker", a worker of a given temper for the supervision and delivery to handle:
// "answering", "silent", "fatal", "dying", or "writer", which writes a numbered record into the
// "process" stream twice a second.
// $TARNWICK_TESTING_FAILED_DELIVERIES=N makes the first N moves of a file to its ".data" name
// fail, as a full or read-only disk would.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

#include "concurrency/ProcessFlags.h"
#include "platform/ErrorCodes.h"
#include "runtime/AgentMain.h"

namespace Vantor {
namespace {

// The system's files, but the first moves of a file to a ".data" name are refused.
class FailingDeliveries : public platform::FileSystem {
 public:
  FailingDeliveries(platform::FileSystem& files, int failures)
      : files_(files), failures_(failures) {}

  platform::Status rename(const std::string& from, const std::string& to, bool replace) override {
    if (to.ends_with(".data")) {
      int left = failures_.load();
      while (left > 0 && !failures_.compare_exchange_weak(left, left - 1)) {
      }
      if (left > 0) return platform::Status::error(platform::kErrorAccessDenied);
    }
    return files_.rename(from, to, replace);
  }
  platform::Expected<std::unique_ptr<platform::FileStream>> openStream(
      const std::string& path, platform::StreamMode mode) override {
    return files_.openStream(path, mode);
  }
  platform::Status getInfo(const std::string& path, platform::PathInfo* info) override {
    return files_.getInfo(path, info);
  }
  platform::Status copyFile(const std::string& from, const std::string& to,
                            bool overwrite) override {
    return files_.copyFile(from, to, overwrite);
  }
  platform::Status removeFile(const std::string& path, bool force) override {
    return files_.removeFile(path, force);
  }
  platform::Status makeDirectory(const std::string& path) override {
    return files_.makeDirectory(path);
  }
  platform::Status listDirectory(const std::string& directory,
                                 std::vector<platform::DirEntry>* entries) override {
    return files_.listDirectory(directory, entries);
  }
  platform::Status absolutePath(const std::string& path, std::string* absolute) override {
    return files_.absolutePath(path, absolute);
  }
  platform::Status currentDirectory(std::string* directory) override {
    return files_.currentDirectory(directory);
  }
  platform::Status mayWriteIn(const std::string& directory) override {
    return files_.mayWriteIn(directory);
  }
  std::string whyOthersMayChange(const std::string& path) override {
    return files_.whyOthersMayChange(path);
  }

 private:
  platform::FileSystem& files_;
  std::atomic<int> failures_;
};

class TestingEnv : public platform::EnvWrapper {
 public:
  TestingEnv(platform::Env& system, int failedDeliveries)
      : EnvWrapper(system), files_(system.fileSystem(), failedDeliveries) {}

  platform::FileSystem& fileSystem() override { return files_; }

 private:
  FailingDeliveries files_;
};

class TestingTarnwick : public Tarnwick {
 public:
  using Tarnwick::Tarnwick;

 protected:
  bool configureProgram() override {
    TimeSpanFields fields;
    checkPeriod_ =
        reader().getTimeSpan("tarnwick.testing.check-period", fields) == ConfReader::CONF_OK
            ? TimeSpan(fields)
            : TimeSpan(60);
    std::int32_t kilobytes = 0;
    reader().getInteger("tarnwick.testing.trace-buffer", kilobytes);
    traceBufferKilobytes_ = static_cast<std::uint32_t>(std::clamp(kilobytes, 0, 1 << 20));
    std::string temper;
    if (reader().getString("tarnwick.testing.worker", temper, true, true) == ConfReader::CONF_OK) {
      prepareTestWorker(temper);
    }
    return Tarnwick::configureProgram();
  }

 private:
  void prepareTestWorker(const std::string& temper) {
    logger().debug(1, "Preparing test worker \"%s\"...", temper);
    threads().addThread(
        "TestWorker", TF_REPORTS, [this, temper](ThreadEntry& row) -> std::uint32_t {
          if (temper == "dying") return 0;
          std::int64_t records = 0;
          while (!row.stopRequested()) {
            if (temper != "silent") reportThreadStatus(row.report, temper == "fatal");
            if (temper == "writer" && !quitFlag.load()) {
              if (std::shared_ptr<LogFile> stream = streams().getLogFile("process")) {
                stream->writeRecord("test record " + std::to_string(++records));
              }
            }
            row.pause(std::chrono::milliseconds(temper == "writer" ? 500 : 100));
          }
          return 0;
        });
  }
};

}  // namespace
}  // namespace Vantor

int main(int argc, char** argv) {
  // Never destroyed: a worker given up for dead may still be using it as the process ends.
  const char* failures = std::getenv("TARNWICK_TESTING_FAILED_DELIVERIES");
  static auto* const env = new Vantor::TestingEnv(*Vantor::platform::newSystemEnv().release(),
                                                  failures != nullptr ? std::atoi(failures) : 0);
  return Vantor::agentMain(
      *env, argc, argv, [](Vantor::platform::Env& env, Vantor::Arguments arguments) {
        return std::make_unique<Vantor::TestingTarnwick>(env, std::move(arguments));
      });
}
