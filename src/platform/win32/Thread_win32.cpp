// Threads are the system's own, so that a supervisor can suspend one (SuspendThread) and stop
// one that hangs. Cancelling is deferred, as elsewhere: the thread unwinds its stack from its
// next cancellation point (sleepCancellable, Event::wait). One that reaches none within the
// grace period is terminated, and a terminated thread unwinds nothing.
// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <process.h>
// clang-format on

#include <thread>

#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "platform/ThreadCancellation.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// How long a cancelled thread has to reach a cancellation point before it is terminated.
constexpr DWORD kCancelGraceMillis = 2000;
// How often a wait on an in-process event looks for a cancellation.
constexpr auto kCancelLook = std::chrono::milliseconds(50);

struct ThreadState {
  explicit ThreadState(std::function<std::uint32_t()> run)
      : procedure(std::move(run)), cancelled(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

  std::function<std::uint32_t()> procedure;
  std::atomic<std::uint32_t> exitCode{0};
  std::atomic<bool> running{true};
  std::atomic<std::uint32_t> cancelCode{0};
  UniqueHandle cancelled;  // set once the thread is to leave at its next cancellation point
};

thread_local ThreadState* currentState = nullptr;

// The first end counts: the thread's own return, or its termination.
void markEnded(ThreadState* state, std::uint32_t code) {
  if (state->running.exchange(false)) state->exitCode.store(code);
}

bool cancelRequested() {
  return currentState != nullptr && currentState->cancelled.valid() &&
         ::WaitForSingleObject(currentState->cancelled.get(), 0) == WAIT_OBJECT_0;
}

unsigned __stdcall runThread(void* argument) {
  std::shared_ptr<ThreadState> state(
      std::move(*static_cast<std::shared_ptr<ThreadState>*>(argument)));
  delete static_cast<std::shared_ptr<ThreadState>*>(argument);
  currentState = state.get();
  std::uint32_t code = 0xFFFFFFFFu;
  try {
    code = state->procedure();
  } catch (const ThreadCancellation&) {
    code = state->cancelCode.load();
  } catch (...) {
  }
  markEnded(state.get(), code);
  return code;
}

class Win32Thread : public Thread {
 public:
  Win32Thread(UniqueHandle handle, std::uint32_t id, std::shared_ptr<ThreadState> state)
      : handle_(std::move(handle)), id_(id), state_(std::move(state)) {}

  std::uint32_t id() const override { return id_; }

  bool isRunning() override { return state_->running.load(); }

  std::uint32_t exitCode() override { return state_->exitCode.load(); }

  bool wait(std::uint32_t waitMillis) override {
    // The thread's handle is signalled once it has ended, after it marked its end.
    return ::WaitForSingleObject(handle_.get(), waitMillis) == WAIT_OBJECT_0 || !isRunning();
  }

  Status cancel(std::uint32_t exitCode) override {
    return Status::fromLastError(tryCancel(exitCode));
  }
  Status suspend() override { return Status::fromLastError(trySuspend()); }
  Status resume() override { return Status::fromLastError(tryResume()); }

  bool tryCancel(std::uint32_t exitCode) {
    if (!isRunning()) return true;
    state_->cancelCode.store(exitCode);
    ::SetEvent(state_->cancelled.get());
    // A suspended thread must run again to reach a cancellation point.
    DWORD suspensions = 0;
    do {
      suspensions = ::ResumeThread(handle_.get());
    } while (suspensions != static_cast<DWORD>(-1) && suspensions > 1);
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), handle_.get(), ::GetCurrentProcess(), &copy, 0,
                           FALSE, DUPLICATE_SAME_ACCESS)) {
      return failWithSystemError();
    }
    // The last resort, away from the caller: a thread that reaches no cancellation point in
    // time is terminated.
    std::thread([thread = UniqueHandle(copy), state = state_, exitCode] {
      if (::WaitForSingleObject(thread.get(), kCancelGraceMillis) == WAIT_TIMEOUT &&
          ::TerminateThread(thread.get(), exitCode)) {
        ::WaitForSingleObject(thread.get(), INFINITE);
        markEnded(state.get(), exitCode);
      }
    }).detach();
    return true;
  }

  bool trySuspend() {
    if (!isRunning()) return false;
    return ::SuspendThread(handle_.get()) != static_cast<DWORD>(-1) || failWithSystemError();
  }

  bool tryResume() {
    DWORD previous = ::ResumeThread(handle_.get());
    if (previous == static_cast<DWORD>(-1)) return failWithSystemError();
    return previous > 0;
  }

 private:
  UniqueHandle handle_;
  std::uint32_t id_;
  std::shared_ptr<ThreadState> state_;
};

}  // namespace

Expected<std::unique_ptr<Thread>> Thread::start(std::function<std::uint32_t()> procedure) {
  auto state = std::make_shared<ThreadState>(std::move(procedure));
  auto* argument = new std::shared_ptr<ThreadState>(state);
  unsigned id = 0;
  auto handle = reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, runThread, argument, 0, &id));
  if (handle == nullptr) {
    delete argument;
    failWithSystemError();
    return Expected<std::unique_ptr<Thread>>::failure(Status::error(lastError()));
  }
  return std::make_unique<Win32Thread>(UniqueHandle(handle), id, std::move(state));
}

std::uint32_t currentThreadId() { return ::GetCurrentThreadId(); }

void sleepCancellable(std::chrono::milliseconds duration) {
  if (currentState == nullptr || !currentState->cancelled.valid()) {
    ::Sleep(static_cast<DWORD>(duration.count()));
    return;
  }
  if (::WaitForSingleObject(currentState->cancelled.get(), static_cast<DWORD>(duration.count())) ==
      WAIT_OBJECT_0) {
    throw ThreadCancellation();
  }
}

bool Event::wait(std::chrono::milliseconds duration) {
  MutexLock lock(&mutex_);
  auto until = std::chrono::steady_clock::now() + duration;
  // Looks for a cancellation now and then: cancel() cannot reach this event to wake it.
  while (!set_) {
    if (cancelRequested()) throw ThreadCancellation();
    auto left = until - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    changed_.wait_for(mutex_, std::min<std::chrono::steady_clock::duration>(left, kCancelLook));
  }
  bool wasSet = set_;
  set_ = false;
  return wasSet;
}

}  // namespace Vantor::platform
