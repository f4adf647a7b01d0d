// Threads are pthreads; identifiers are gettid(). Cancelling is pthread_cancel (deferred), so
// a thread dies at its next cancellation point with its stack unwound. Suspension is a
// real-time signal whose handler waits in sigsuspend until the resume signal.
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TW_HAS_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef TW_HAS_ADDRESS_SANITIZER
#define TW_HAS_ADDRESS_SANITIZER 0
#endif
#if defined(__SANITIZE_ADDRESS__) || TW_HAS_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "platform/ThreadCancellation.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

int suspendSignal() { return SIGRTMIN + 4; }
int resumeSignal() { return SIGRTMIN + 5; }

struct ThreadState {
  explicit ThreadState(std::function<std::uint32_t()> run) : procedure(std::move(run)) {
    sem_init(&suspended, 0, 0);
  }
  ~ThreadState() { sem_destroy(&suspended); }

  std::function<std::uint32_t()> procedure;
  std::atomic<std::uint32_t> tid{0};
  std::atomic<bool> running{true};
  std::atomic<std::uint32_t> exitCode{0};
  std::atomic<std::uint32_t> cancelCode{0};
  std::atomic<int> suspendCount{0};
  sem_t suspended;  // posted by the signal handler once the thread has stopped

  Mutex mutex;
  std::condition_variable_any changed;  // tid set, or the thread ended
};

thread_local ThreadState* currentState = nullptr;

// Runs on the suspended thread itself; only async-signal-safe calls.
void onSuspendSignal(int) {
  ThreadState* state = currentState;
  if (state == nullptr) return;
  int savedErrno = errno;
  sem_post(&state->suspended);
  sigset_t waitMask;
  sigfillset(&waitMask);
  sigdelset(&waitMask, resumeSignal());
  while (state->suspendCount.load() > 0) sigsuspend(&waitMask);
  errno = savedErrno;
}

void onResumeSignal(int) {}

void installSignalHandlers() {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = onSuspendSignal;
    sigaction(suspendSignal(), &action, nullptr);
    action.sa_handler = onResumeSignal;
    sigaction(resumeSignal(), &action, nullptr);
  });
}

// Marks the thread ended however it leaves: return, exception, or cancellation.
class EndMarker {
 public:
  explicit EndMarker(ThreadState* state) : state_(state) {}
  ~EndMarker() {
    MutexLock lock(&state_->mutex);
    state_->running.store(false);
    state_->changed.notify_all();
  }

 private:
  ThreadState* state_;
};

// The forced unwind of a cancellation has no exception object; binding it to a reference is
// what the language requires here, and what the null-reference check would report.
__attribute__((no_sanitize("null"))) void* runThread(void* argument) {
  std::shared_ptr<ThreadState> state(
      std::move(*static_cast<std::shared_ptr<ThreadState>*>(argument)));
  delete static_cast<std::shared_ptr<ThreadState>*>(argument);
  currentState = state.get();
  {
    MutexLock lock(&state->mutex);
    state->tid.store(currentThreadId());
    state->changed.notify_all();
  }
  EndMarker marker(state.get());
  try {
    state->exitCode.store(state->procedure());
  } catch (const ThreadCancellation&) {
    state->exitCode.store(state->cancelCode.load());
    throw;
  } catch (...) {
    state->exitCode.store(0xFFFFFFFFu);
  }
  return nullptr;
}

class PosixThread : public Thread {
 public:
  PosixThread(pthread_t handle, std::shared_ptr<ThreadState> state)
      : handle_(handle), state_(std::move(state)) {}

  // Nobody joins: the thread's end is seen through its state, so it is always detached.
  ~PosixThread() override { pthread_detach(handle_); }

  std::uint32_t id() const override { return state_->tid.load(); }

  bool isRunning() override { return state_->running.load(); }

  std::uint32_t exitCode() override { return state_->exitCode.load(); }

  bool wait(std::uint32_t waitMillis) override {
    MutexLock lock(&state_->mutex);
    state_->changed.wait_for(state_->mutex, std::chrono::milliseconds(waitMillis),
                             [this] { return !state_->running.load(); });
    return !state_->running.load();
  }

  Status cancel(std::uint32_t exitCode) override {
    return Status::fromLastError(tryCancel(exitCode));
  }
  Status suspend() override { return Status::fromLastError(trySuspend()); }
  Status resume() override { return Status::fromLastError(tryResume()); }

  bool tryCancel(std::uint32_t exitCode) {
    if (!isRunning()) return true;
    state_->cancelCode.store(exitCode);
    // A suspended thread must run again to reach a cancellation point.
    if (state_->suspendCount.exchange(0) > 0) pthread_kill(handle_, resumeSignal());
    int error = pthread_cancel(handle_);
    return error == 0 || error == ESRCH || failWith(error);
  }

  bool trySuspend() {
    if (!isRunning()) return false;
    if (state_->suspendCount.fetch_add(1) > 0) return true;
    if (pthread_kill(handle_, suspendSignal()) != 0) {
      state_->suspendCount.fetch_sub(1);
      return false;
    }
    // Return only once the thread has really stopped (or ended meanwhile).
    while (isRunning()) {
      timespec deadline{};
      clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_nsec += 50 * 1000 * 1000;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      if (sem_timedwait(&state_->suspended, &deadline) == 0) return true;
    }
    return false;
  }

  bool tryResume() {
    int count = state_->suspendCount.load();
    while (count > 0 && !state_->suspendCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) return false;
    if (count == 1) pthread_kill(handle_, resumeSignal());
    return true;
  }

 private:
  pthread_t handle_;
  std::shared_ptr<ThreadState> state_;
};

}  // namespace

Expected<std::unique_ptr<Thread>> Thread::start(std::function<std::uint32_t()> procedure) {
  installSignalHandlers();
  auto state = std::make_shared<ThreadState>(std::move(procedure));
  auto* argument = new std::shared_ptr<ThreadState>(state);
  pthread_t handle;
  int error = pthread_create(&handle, nullptr, runThread, argument);
  if (error != 0) {
    delete argument;
    failWith(error);
    return Expected<std::unique_ptr<Thread>>::failure(Status::error(lastError()));
  }
  {
    MutexLock lock(&state->mutex);
    state->changed.wait(state->mutex, [&] { return state->tid.load() != 0; });
  }
  return std::make_unique<PosixThread>(handle, std::move(state));
}

std::uint32_t currentThreadId() {
  // Asked at every lock: the kernel is asked once per thread (the agent never forks).
  thread_local const auto id = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return id;
}

namespace {

// A cancellation inside a condition wait: the thread sanitizer knows how a kill unwinds it
// (it does not for the other sleeps). The address sanitizer needs the skipped frames' stack
// unpoisoned before any destructor of the callers runs; the catch here is the first place.
template <typename Wait>
void waitCancellable(Wait&& wait) {
  try {
    wait();
  } catch (const ThreadCancellation&) {
#if defined(__SANITIZE_ADDRESS__) || TW_HAS_ADDRESS_SANITIZER
    __asan_handle_no_return();
#endif
    throw;
  }
}

}  // namespace

void sleepCancellable(std::chrono::milliseconds duration) {
  thread_local std::mutex mutex;
  thread_local std::condition_variable never;
  std::unique_lock<std::mutex> lock(mutex);
  waitCancellable([&] { never.wait_for(lock, duration); });
}

bool Event::wait(std::chrono::milliseconds duration) {
  MutexLock lock(&mutex_);
  bool wasSet = false;
  waitCancellable([&]() NO_THREAD_SAFETY_ANALYSIS {
    wasSet = changed_.wait_for(mutex_, duration, [&]() NO_THREAD_SAFETY_ANALYSIS { return set_; });
  });
  set_ = false;
  return wasSet;
}

}  // namespace Vantor::platform
