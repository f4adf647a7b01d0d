// Threads are the system's own, so that a supervisor can stop one that hangs (TerminateThread)
// and suspend it (SuspendThread). A terminated thread unwinds nothing: what it held is lost,
// which is why the agent terminates only a thread that has stopped answering.
// The system's headers need its base definitions first.
#include <process.h>
#include <windows.h>

#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

struct ThreadState {
  explicit ThreadState(std::function<std::uint32_t()> run) : procedure(std::move(run)) {}

  std::function<std::uint32_t()> procedure;
  std::atomic<std::uint32_t> exitCode{0};
  std::atomic<bool> running{true};
};

// The first end counts: the thread's own return, or its termination.
void markEnded(ThreadState* state, std::uint32_t code) {
  if (state->running.exchange(false)) state->exitCode.store(code);
}

unsigned __stdcall runThread(void* argument) {
  std::shared_ptr<ThreadState> state(
      std::move(*static_cast<std::shared_ptr<ThreadState>*>(argument)));
  delete static_cast<std::shared_ptr<ThreadState>*>(argument);
  std::uint32_t code = 0xFFFFFFFFu;
  try {
    code = state->procedure();
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

  bool cancel(std::uint32_t exitCode) override {
    if (!isRunning()) return true;
    if (!::TerminateThread(handle_.get(), exitCode)) {
      return ::WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0 || failWithSystemError();
    }
    ::WaitForSingleObject(handle_.get(), INFINITE);
    markEnded(state_.get(), exitCode);
    return true;
  }

  bool suspend() override {
    if (!isRunning()) return false;
    return ::SuspendThread(handle_.get()) != static_cast<DWORD>(-1) || failWithSystemError();
  }

  bool resume() override {
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

std::unique_ptr<Thread> Thread::start(std::function<std::uint32_t()> procedure) {
  auto state = std::make_shared<ThreadState>(std::move(procedure));
  auto* argument = new std::shared_ptr<ThreadState>(state);
  unsigned id = 0;
  auto handle = reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, runThread, argument, 0, &id));
  if (handle == nullptr) {
    delete argument;
    failWithSystemError();
    return nullptr;
  }
  return std::make_unique<Win32Thread>(UniqueHandle(handle), id, std::move(state));
}

std::uint32_t currentThreadId() { return ::GetCurrentThreadId(); }

void sleepCancellable(std::chrono::milliseconds duration) {
  ::Sleep(static_cast<DWORD>(duration.count()));
}

bool Event::wait(std::chrono::milliseconds duration) {
  MutexLock lock(&mutex_);
  bool wasSet =
      changed_.wait_for(mutex_, duration, [&]() NO_THREAD_SAFETY_ANALYSIS { return set_; });
  set_ = false;
  return wasSet;
}

}  // namespace Vantor::platform
