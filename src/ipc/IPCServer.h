// Receives suite messages under a name: a listener thread creates the mailslot, reads
// everything waiting at least once a second, and hands each message addressed to Vantor to
// the callback, on the listener thread. Only messages of root and this process's own user are
// heard; those of anyone else are dropped unread, and counted in one log line a minute.
#ifndef TARNWICK_IPC_IPCSERVER_H_
#define TARNWICK_IPC_IPCSERVER_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "concurrency/ThreadInstance.h"
#include "logging/LoggerUnit.h"
#include "platform/Env.h"

namespace Vantor {

class IPCServer {
 public:
  using Callback = std::function<void(const std::string& type, const std::string& reference,
                                      const std::string& body, const std::string& replyTo)>;

  // A message or a stop request wakes the listener; idle, it looks once a minute.
  static constexpr std::uint32_t kIdleMillis = 60000;
  static constexpr int kStopSeconds = 10;

  // Starts the listener; JobException when its thread cannot start.
  IPCServer(platform::Env& env, std::string name, std::shared_ptr<LogSender> sender,
            Callback callback);
  // Kills the listener if it still runs.
  ~IPCServer();
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

  // Asks the listener to leave and waits for it, at most ten seconds.
  void stop();
  // True once the mailslot exists and until the listener has left.
  bool isListening() const;
  const std::string& name() const;

  struct Listener;

 private:
  std::shared_ptr<Listener> listener_;
  ThreadInstance job_;
};

}  // namespace Vantor

#endif  // TARNWICK_IPC_IPCSERVER_H_
