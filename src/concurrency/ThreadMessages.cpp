#include "concurrency/ThreadMessages.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>

#include "platform/Mutex.h"
#include "platform/Thread.h"

namespace Vantor::ThreadMessages {

namespace {

struct MessageQueue {
  platform::Mutex mutex;
  std::condition_variable_any arrived;
  std::deque<ThreadMessage> messages GUARDED_BY(mutex);
};

// The registry lock is never held while a queue's lock is taken, or the reverse. Both live
// for the whole process: a worker that was killed may still leave its queue while the
// process exits.
platform::Mutex& registryMutex() {
  static auto* mutex = new platform::Mutex;
  return *mutex;
}
std::map<std::uint32_t, std::shared_ptr<MessageQueue>>& registry() {
  static auto* queues = new std::map<std::uint32_t, std::shared_ptr<MessageQueue>>;
  return *queues;
}

std::shared_ptr<MessageQueue> queueOf(std::uint32_t threadId) {
  platform::MutexLock lock(&registryMutex());
  auto found = registry().find(threadId);
  return found == registry().end() ? nullptr : found->second;
}

}  // namespace

Queue::Queue() {
  platform::MutexLock lock(&registryMutex());
  registry()[platform::currentThreadId()] = std::make_shared<MessageQueue>();
}

Queue::~Queue() {
  platform::MutexLock lock(&registryMutex());
  registry().erase(platform::currentThreadId());
}

bool post(std::uint32_t threadId, const ThreadMessage& message) {
  std::shared_ptr<MessageQueue> queue = queueOf(threadId);
  if (!queue) return false;
  platform::MutexLock lock(&queue->mutex);
  queue->messages.push_back(message);
  queue->arrived.notify_one();
  return true;
}

bool take(ThreadMessage* message, std::chrono::milliseconds timeout) {
  std::shared_ptr<MessageQueue> queue = queueOf(platform::currentThreadId());
  if (!queue) return false;
  platform::MutexLock lock(&queue->mutex);
  if (!queue->arrived.wait_for(queue->mutex, timeout, [&]() NO_THREAD_SAFETY_ANALYSIS {
        return !queue->messages.empty();
      })) {
    return false;
  }
  *message = queue->messages.front();
  queue->messages.pop_front();
  return true;
}

bool get(ThreadMessage* message) {
  while (!take(message, std::chrono::hours(1))) {
    if (!queueOf(platform::currentThreadId())) return false;
  }
  return message->message != kMessageQuit;
}

}  // namespace Vantor::ThreadMessages
