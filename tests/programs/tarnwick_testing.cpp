// The agent with the hooks that tests need and no user may reach: a build for tests only.
// Keys under "tarnwick.testing": "check-period" (how often the status monitor checks the
// workers), "trace-buffer" (a small kernel trace buffer in kilobytes, to make the session lose
// events) and "worker", a worker of a given temper for the supervision and delivery to handle:
// "answering", "silent", "fatal", "dying", or "writer", which writes a numbered record into the
// "process" stream twice a second.
#include <algorithm>
#include <string>

#include "concurrency/ProcessFlags.h"
#include "runtime/AgentMain.h"

namespace Vantor {
namespace {

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
  std::unique_ptr<Vantor::platform::Env> env = Vantor::platform::newSystemEnv();
  return Vantor::agentMain(
      *env, argc, argv, [](Vantor::platform::Env& env, Vantor::Arguments arguments) {
        return std::make_unique<Vantor::TestingTarnwick>(env, std::move(arguments));
      });
}
