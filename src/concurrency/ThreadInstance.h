// A job that is one thread. Each thread started by execute() has a message queue, so the
// graceful stop request (kMessageDestroy posted to the thread) can reach a thread that reads it.
// Controlled by one supervising thread at a time; status() and threadId() may be read from
// any thread.
#ifndef TARNWICK_CONCURRENCY_THREADINSTANCE_H_
#define TARNWICK_CONCURRENCY_THREADINSTANCE_H_

#include <atomic>
#include <functional>
#include <memory>

#include "concurrency/JobInstance.h"
#include "platform/Thread.h"

namespace Vantor {

class ThreadInstance : public JobInstance {
 public:
  using Procedure = std::function<std::uint32_t()>;

  // How long terminate() waits for the thread to end by itself, and then after the kill.
  static constexpr std::uint32_t kGraceMillis = 1000;
  static constexpr std::uint32_t kKillWaitMillis = 1000;

  explicit ThreadInstance(Procedure procedure);
  // With kill-on-destroy (the default) a running thread is killed.
  ~ThreadInstance() override;

  void execute() override;
  std::uint32_t suspend() override;
  std::uint32_t resume() override;
  bool terminate() override { return stop(0xFFFFFFFFu, kGraceMillis); }
  // Posts kMessageDestroy (wParam = exitCode), waits up to graceMillis in 50 ms steps, then kills.
  // A thread that does not die within kKillWaitMillis of the kill is left to die at its next
  // cancellation point and counted killed, so the caller never hangs.
  bool stop(std::uint32_t exitCode, std::uint32_t graceMillis);
  // Waits up to waitMillis for the thread to end; true when none runs.
  bool awaitEnd(std::uint32_t waitMillis);
  std::uint32_t status() override;
  std::uint32_t exitCode(std::uint32_t& code) override;

  std::uint32_t threadId() const { return threadId_.load(); }
  void setKillOnDestroy(bool kill) { killOnDestroy_ = kill; }

 private:
  Procedure procedure_;
  std::unique_ptr<platform::Thread> thread_;
  std::atomic<std::uint32_t> threadId_{0};
  std::atomic<std::uint32_t> recorded_{0};  // JS_KILLED or JS_ENDED_ON_REQUEST, else 0
  std::atomic<std::uint32_t> suspendCount_{0};
  bool killOnDestroy_ = true;
};

}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_THREADINSTANCE_H_
