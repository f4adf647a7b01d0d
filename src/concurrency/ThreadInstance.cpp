#include "concurrency/ThreadInstance.h"

#include <future>

#include "concurrency/ThreadMessages.h"
#include "foundation/JobException.h"
#include "platform/ErrorCodes.h"

namespace Vantor {

namespace {

std::string osErrorText(std::uint32_t code) {
  return "Win32 error code is : " + std::to_string(code);
}

}  // namespace

ThreadInstance::ThreadInstance(Procedure procedure) : procedure_(std::move(procedure)) {}

ThreadInstance::~ThreadInstance() {
  if (killOnDestroy_ && thread_ && thread_->isRunning()) {
    if (thread_->cancel(0xFFFFFFFFu)) thread_->wait(kKillWaitMillis);
  }
}

void ThreadInstance::execute() {
  if (status() == JS_RUNNING) {
    throw JobException(JobException::JB_STILL_RUNNING, "", __FILE__, __LINE__);
  }
  // The thread's queue exists before execute() returns, so a stop request posted right after
  // reaches it.
  auto queueReady = std::make_shared<std::promise<void>>();
  std::future<void> ready = queueReady->get_future();
  Procedure procedure = procedure_;
  platform::Expected<std::unique_ptr<platform::Thread>> started =
      platform::Thread::start([procedure, queueReady] {
        ThreadMessages::Queue queue;
        queueReady->set_value();
        return procedure();
      });
  if (!started) {
    throw JobException(JobException::JB_UNABLE_TO_START, osErrorText(started.error()), __FILE__,
                       __LINE__);
  }
  ready.wait();
  std::unique_ptr<platform::Thread> thread = std::move(started.value());
  recorded_.store(0);
  suspendCount_.store(0);
  threadId_.store(thread->id());
  thread_ = std::move(thread);
}

std::uint32_t ThreadInstance::suspend() {
  if (!thread_) throw JobException(JobException::JB_NEVER_STARTED, "", __FILE__, __LINE__);
  if (!thread_->isRunning()) return 0;
  if (platform::Status suspended = thread_->suspend(); !suspended) {
    throw JobException(JobException::JB_UNKNOWN_ERROR, osErrorText(suspended.code()), __FILE__,
                       __LINE__);
  }
  return suspendCount_.fetch_add(1) + 1;
}

std::uint32_t ThreadInstance::resume() {
  if (!thread_) throw JobException(JobException::JB_NEVER_STARTED, "", __FILE__, __LINE__);
  std::uint32_t previous = suspendCount_.load();
  if (previous == 0) return 0;
  if (platform::Status resumed = thread_->resume(); !resumed) {
    throw JobException(JobException::JB_UNKNOWN_ERROR, osErrorText(resumed.code()), __FILE__,
                       __LINE__);
  }
  suspendCount_.fetch_sub(1);
  return previous;
}

bool ThreadInstance::stop(std::uint32_t exitCode, std::uint32_t graceMillis) {
  if (status() != JS_RUNNING) return false;
  ThreadMessage destroy{kMessageDestroy, exitCode, 0};
  if (ThreadMessages::post(threadId(), destroy) && thread_->wait(graceMillis)) {
    recorded_.store(JS_ENDED_ON_REQUEST);
    return true;
  }
  suspendCount_.store(0);
  if (platform::Status cancelled = thread_->cancel(exitCode); !cancelled) {
    throw JobException(JobException::JB_UNABLE_TO_TERMINATE, osErrorText(cancelled.code()),
                       __FILE__, __LINE__);
  }
  // A thread that has not died by then dies at its next cancellation point; it counts as
  // killed now, so supervision can start a new one.
  thread_->wait(kKillWaitMillis);
  recorded_.store(JS_KILLED);
  return true;
}

bool ThreadInstance::awaitEnd(std::uint32_t waitMillis) {
  return !thread_ || thread_->wait(waitMillis);
}

std::uint32_t ThreadInstance::status() {
  std::uint32_t recorded = recorded_.load();
  if (recorded != 0) return recorded;
  if (!thread_) return JS_NO_HANDLE;
  return thread_->isRunning() ? JS_RUNNING : JS_ENDED;
}

std::uint32_t ThreadInstance::exitCode(std::uint32_t& code) {
  if (!thread_) return JS_NO_HANDLE;
  if (thread_->isRunning()) return JS_RUNNING;
  code = thread_->exitCode();
  return JS_EXITED;
}

}  // namespace Vantor
