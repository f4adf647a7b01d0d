#include "ipc/LogMessengerIPC.h"

#include <condition_variable>
#include <deque>

#include "foundation/Exception.h"
#include "ipc/IPCClient.h"
#include "logging/LogCommons.h"
#include "platform/Mutex.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {
// How long the messenger's end waits for the forwarder to send what is queued.
constexpr std::uint32_t kFinalSendMillis = 3000;
}  // namespace

struct LogMessengerIPC::Forwarder {
  Forwarder(platform::Env& env, std::string coreName, std::shared_ptr<LogWriter> writer)
      : client(env, std::move(coreName)), local(std::move(writer)) {}

  // Runs on the forwarding thread until stopping is set and the queue is empty.
  std::uint32_t run() LOCKS_EXCLUDED(mutex);

  // Writes the count of dropped messages as a debug line of the program that sent them.
  void reportDropped(const std::string& sentText, std::uint64_t count);

  IPCClient client;
  LogMessenger local;
  platform::Mutex mutex;
  std::condition_variable_any changed;
  std::deque<std::string> queue GUARDED_BY(mutex);
  std::uint64_t dropped GUARDED_BY(mutex) = 0;
  std::uint64_t droppedReported GUARDED_BY(mutex) = 0;
  bool stopping GUARDED_BY(mutex) = false;
  bool started GUARDED_BY(mutex) = false;
};

std::uint32_t LogMessengerIPC::Forwarder::run() {
  while (true) {
    std::string text;
    std::uint64_t newlyDropped = 0;
    {
      platform::MutexLock lock(&mutex);
      changed.wait(mutex, [&]() NO_THREAD_SAFETY_ANALYSIS { return stopping || !queue.empty(); });
      if (queue.empty()) return 0;
      text = std::move(queue.front());
      queue.pop_front();
    }
    bool sent = false;
    try {
      sent = client.send("LOGMSG", "", text, "");
    } catch (const platform::ThreadCancellation&) {
      throw;
    } catch (...) {
      // The Core is away or busy: the message is in the local log all the same, and counted.
    }
    {
      platform::MutexLock lock(&mutex);
      if (!sent) ++dropped;  // the Core is away or did not read in time
      // At the end, a Core that does not read gets no more tries; the messenger is going.
      if (stopping && !sent) return 0;
      if (!sent || stopping) continue;
      newlyDropped = dropped - droppedReported;
      droppedReported = dropped;
    }
    if (newlyDropped > 0) reportDropped(text, newlyDropped);
  }
}

void LogMessengerIPC::Forwarder::reportDropped(const std::string& sentText, std::uint64_t count) {
  LogRecord record;
  try {
    if (!decodeRecord(sentText, &record)) return;
  } catch (const Exception&) {
    return;
  }
  record.isDebug = true;
  record.debugLevel = 1;
  record.time = DateTime();
  record.messageNumber = kNoMessageNumber;
  record.text = "IPC: " + std::to_string(count) +
                " log message(s) for the Core were dropped while it did not read.";
  local.send(encodeRecord(record));
}

LogMessengerIPC::LogMessengerIPC(std::shared_ptr<LogWriter> writer, std::string coreName)
    : LogMessenger(writer),
      forwarder_(
          std::make_shared<Forwarder>(writer->env(), std::move(coreName), std::move(writer))) {}

LogMessengerIPC::~LogMessengerIPC() {
  {
    platform::MutexLock lock(&forwarder_->mutex);
    forwarder_->stopping = true;
  }
  forwarder_->changed.notify_all();
  if (thread_) thread_->wait(kFinalSendMillis);
}

bool LogMessengerIPC::send(const std::string& text) {
  bool written = LogMessenger::send(text);
  if (isDebugRecord(text)) return written;
  bool start = false;
  {
    platform::MutexLock lock(&forwarder_->mutex);
    if (forwarder_->stopping) return written;
    if (forwarder_->queue.size() >= kQueueLimit) {
      ++forwarder_->dropped;
      return written;
    }
    forwarder_->queue.push_back(text);
    start = !forwarder_->started;
    forwarder_->started = true;
  }
  if (start) {
    std::shared_ptr<Forwarder> forwarder = forwarder_;
    // Without a thread the queue only fills, up to its bound: the log file has every line.
    thread_ = std::move(platform::Thread::start([forwarder] { return forwarder->run(); }).value());
  }
  forwarder_->changed.notify_one();
  return written;
}

std::uint64_t LogMessengerIPC::dropped() const {
  platform::MutexLock lock(&forwarder_->mutex);
  return forwarder_->dropped;
}

}  // namespace Vantor
