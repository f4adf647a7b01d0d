#include "ipc/IPCServer.h"

#include <chrono>
#include <map>
#include <vector>

#include "concurrency/ThreadMessages.h"
#include "foundation/Exception.h"
#include "foundation/JobException.h"
#include "foundation/TextUtils.h"
#include "foundation/Timer.h"
#include "ipc/IPCMessage.h"
#include "ipc/MailSlot.h"
#include "platform/Env.h"
#include "platform/Mailslot.h"
#include "platform/Thread.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

// What the listener thread shares with its server. The callback and the exit flag belong to
// one server, so several servers in one process do not disturb each other.
struct IPCServer::Listener {
  Listener(platform::Env& environment, std::string serverName, std::shared_ptr<LogSender> sender,
           Callback onMessage)
      : env(environment),
        logger(std::move(sender), kModuleIPC),
        name(std::move(serverName)),
        callback(std::move(onMessage)) {}

  std::uint32_t run();
  void handle(const ReceivedMessage& received);
  // Adds what the mailslot dropped to the minute's count, and logs the count once the
  // minute is over: a flood costs one line a minute.
  void reportDropped(MailSlot& mailslot, bool minuteOver);

  platform::Env& env;
  LoggerUnit logger;
  const std::string name;
  const Callback callback;
  // Sets the exit flag and wakes the listener's wait.
  void requestExit() LOCKS_EXCLUDED(mailslotMutex);

  DroppedMessages dropped;  // the listener thread's
  std::atomic<bool> exitFlag{false};
  std::atomic<bool> listening{false};
  platform::Mutex mailslotMutex;
  MailSlot* mailslot GUARDED_BY(mailslotMutex) = nullptr;  // while the listener has one
};

void IPCServer::Listener::requestExit() {
  exitFlag.store(true);
  platform::MutexLock lock(&mailslotMutex);
  if (mailslot != nullptr) mailslot->wake();
}

namespace {

// The most of a sender's field a log line shows.
constexpr std::size_t kLoggedFieldBytes = 200;

// "user 65534: 120311, user 1000: 4": the first few senders, then how many more.
std::string sendersText(const std::map<std::uint32_t, std::uint64_t>& bySender) {
  constexpr std::size_t kNamed = 5;
  std::string text;
  std::size_t named = 0;
  for (const auto& [uid, count] : bySender) {
    if (named++ == kNamed) {
      return text + " and " + std::to_string(bySender.size() - kNamed) + " more users";
    }
    text += (text.empty() ? "user " : ", user ") + std::to_string(uid) + ": " +
            std::to_string(count);
  }
  return text;
}

}  // namespace

void IPCServer::Listener::handle(const ReceivedMessage& received) {
  logger.debug(5, "IPC: Received message line \"%s\".",
               TextUtils::clipped(received.text, kLoggedFieldBytes));
  IPCMessage message;
  if (!parseIPCMessage(received.text, &message)) {
    logger.debug(4, "IPC: The message was not adressed to Vantor. Ignoring it.");
    return;
  }
  callback(message.type, message.reference, message.body, message.replyTo);
}

void IPCServer::Listener::reportDropped(MailSlot& mailslot, bool minuteOver) {
  DroppedMessages more = mailslot.takeDropped();
  for (const auto& [uid, count] : more.bySender) dropped.bySender[uid] += count;
  dropped.oversized += more.oversized;
  if (!minuteOver || dropped.empty()) return;
  std::uint64_t foreign = 0;
  for (const auto& [uid, count] : dropped.bySender) foreign += count;
  logger.debug(1,
               "IPC: Server \"%s\": Dropped %i message(s) from users who may not command it "
               "(%s) and %i longer than %i bytes in the last minute.",
               name, static_cast<std::int64_t>(foreign), sendersText(dropped.bySender),
               static_cast<std::int64_t>(dropped.oversized),
               static_cast<std::int64_t>(MailSlot::kMaxMessageBytes));
  dropped = {};
}

std::uint32_t IPCServer::Listener::run() {
  logger.debug(2, "IPC: Initializing listener for \"%s\".", name);
  logger.debug(2, "IPC: Creating MailSlot \"%s\".", name);
  std::unique_ptr<MailSlot> opened;
  try {
    opened = std::make_unique<MailSlot>(env, IPC::RECEIVER, name);
  } catch (const Exception& error) {
    logger.debug(1, error.getFullText());
    return 0;
  }
  logger.debug(2, "IPC: MailSlot created \"%s\".", name);
  {
    platform::MutexLock lock(&mailslotMutex);
    mailslot = opened.get();
  }
  listening.store(true);
  Timer debugTimer;
  debugTimer.setExpiry(DateTime() + TimeSpan(60));
  std::int64_t passes = 0;
  std::vector<ReceivedMessage> list;
  while (!exitFlag.load()) {
    bool debugDue = debugTimer.isExpired();
    if (debugDue) {
      logger.debug(5,
                   "IPC: Server \"%s\": Checking for incomming messages. Done so %i times "
                   "since last debug.",
                   name, passes);
      passes = 0;
    } else {
      ++passes;
    }
    ThreadMessage request;
    if (ThreadMessages::take(&request, std::chrono::milliseconds(0)) &&
        request.message == kMessageDestroy) {
      logger.debug(4, "IPC: Received message to exit IPC listener.");
      exitFlag.store(true);
      ThreadMessages::post(platform::currentThreadId(), {kMessageQuit, 0, 0});
    }
    try {
      opened->receive(list);
    } catch (const Exception&) {
      list.clear();
    }
    if (!list.empty()) {
      logger.debug(4, "IPC: Server \"%s\": Received %i message(s)...", name,
                   static_cast<std::int64_t>(list.size()));
      for (const ReceivedMessage& received : list) {
        // A command that fails ends that command, not the listening for the next ones.
        try {
          handle(received);
        } catch (const platform::ThreadCancellation&) {
          throw;
        } catch (const std::exception& error) {
          logger.debug(1, "IPC: Server \"%s\": a message could not be handled: %s", name,
                       error.what());
        } catch (...) {
          logger.debug(1, "IPC: Server \"%s\": a message could not be handled.", name);
        }
      }
      list.clear();
    }
    reportDropped(*opened, debugDue);
    if (debugDue) {
      logger.debug(5, "IPC: Server \"%s\": Now sleeping for a while.", name);
      debugTimer.setExpiry(DateTime() + TimeSpan(60));
    }
    if (!exitFlag.load()) opened->waitForMessage(kIdleMillis);
  }
  reportDropped(*opened, true);  // the minute under way
  listening.store(false);
  {
    platform::MutexLock lock(&mailslotMutex);
    mailslot = nullptr;
  }
  logger.debug(1, "IPC: Exitited IPC listener.");
  exitFlag.store(false);
  return 0;
}

IPCServer::IPCServer(platform::Env& env, std::string name, std::shared_ptr<LogSender> sender,
                     Callback callback)
    : listener_(
          std::make_shared<Listener>(env, std::move(name), std::move(sender), std::move(callback))),
      job_([listener = listener_] {
        try {
          return listener->run();
        } catch (const platform::ThreadCancellation&) {
          throw;
        } catch (...) {
          listener->logger.debug(1, "IPC: Unknown error in the listener of \"%s\".",
                                 listener->name);
          return 1u;
        }
      }) {
  try {
    job_.execute();
  } catch (JobException& error) {
    listener_->logger.debug(1, error.getFullText());
    error.addLocation(__FILE__, __LINE__);
    throw;
  }
  listener_->logger.debug(1, "IPC: Created server \"%s\".", listener_->name);
}

IPCServer::~IPCServer() {
  if (job_.status() == JobInstance::JS_RUNNING) {
    listener_->requestExit();
    job_.terminate();
  }
  listener_->logger.debug(1, "IPC: Destroyed server \"%s\".", listener_->name);
}

void IPCServer::stop() {
  listener_->requestExit();
  // The listener clears the flag as it leaves; one that had left before keeps it set.
  if (job_.awaitEnd(kStopSeconds * 1000) && !listener_->exitFlag.load()) {
    listener_->logger.debug(1, "IPC: Stopped server \"%s\".", listener_->name);
    return;
  }
  listener_->logger.debug(1, "IPC: Stopping server \"%s\" timed out.", listener_->name);
}

bool IPCServer::isListening() const { return listener_->listening.load(); }

const std::string& IPCServer::name() const { return listener_->name; }

}  // namespace Vantor
