// A job: one unit of work run by the system (a thread here) that can be started, suspended,
// resumed, stopped and queried.
#ifndef TARNWICK_CONCURRENCY_JOBINSTANCE_H_
#define TARNWICK_CONCURRENCY_JOBINSTANCE_H_

#include <cstdint>

namespace Vantor {

class JobInstance {
 public:
  // Job states and results.
  static constexpr std::uint32_t JS_ENDED = 11;
  static constexpr std::uint32_t JS_KILLED = 12;
  static constexpr std::uint32_t JS_ENDED_ON_REQUEST = 13;
  static constexpr std::uint32_t JS_NO_HANDLE = 14;
  static constexpr std::uint32_t JS_RUNNING = 17;
  static constexpr std::uint32_t JS_KILL_FAILED = 18;
  static constexpr std::uint32_t JS_DETACHED = 19;
  static constexpr std::uint32_t JS_STATE_UNKNOWN = 20;
  static constexpr std::uint32_t JS_EXITED = 25;

  virtual ~JobInstance() = default;

  // Throws JobException JB_UNABLE_TO_START (or JB_STILL_RUNNING while it runs).
  virtual void execute() = 0;
  // The previous suspend count + 1; 0 when the job does not run.
  virtual std::uint32_t suspend() = 0;
  // The previous suspend count.
  virtual std::uint32_t resume() = 0;
  // Asks the job to end, then kills it after a grace period; false when it did not run.
  virtual bool terminate() = 0;
  virtual std::uint32_t status() = 0;
  // JS_RUNNING, JS_NO_HANDLE, or JS_EXITED with the job's exit code in code.
  virtual std::uint32_t exitCode(std::uint32_t& code) = 0;
};

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_JOBINSTANCE_H_
