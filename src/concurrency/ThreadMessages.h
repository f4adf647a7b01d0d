// Per-thread message queues in the manner of PostThreadMessage: any thread posts to a thread
// id; the thread with that id takes its messages in order. A thread has a queue only between
// creating and destroying one (ThreadMessages::Queue does both). Safe for concurrent use.
#ifndef TARNWICK_CONCURRENCY_THREADMESSAGES_H_
#define TARNWICK_CONCURRENCY_THREADMESSAGES_H_

#include <chrono>
#include <cstdint>

namespace Vantor {

// The messages the program posts, with the numbers of their window-message counterparts
// (named apart from them, so the system's headers cannot clash).
inline constexpr std::uint32_t kMessageDestroy = 0x0002;
inline constexpr std::uint32_t kMessageClose = 0x0010;
inline constexpr std::uint32_t kMessageQuit = 0x0012;
inline constexpr std::uint32_t kMessageUser = 0x0400;

struct ThreadMessage {
  std::uint32_t message = 0;
  std::uint64_t wParam = 0;
  std::int64_t lParam = 0;
};

namespace ThreadMessages {

// Gives the calling thread a queue for its lifetime in scope.
class Queue {
 public:
  Queue();
  ~Queue();
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
};

// False when the thread has no queue.
bool post(std::uint32_t threadId, const ThreadMessage& message);
// Waits for the calling thread's next message (GetMessage): false for kMessageQuit or when the
// thread has no queue.
bool get(ThreadMessage* message);
// Takes the next message if one is waiting, waiting at most timeout; false when none came.
bool take(ThreadMessage* message, std::chrono::milliseconds timeout);

}  // namespace ThreadMessages
}  // namespace Vantor

#endif  // TARNWICK_CONCURRENCY_THREADMESSAGES_H_
