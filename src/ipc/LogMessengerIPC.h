// The log messenger of the program: every numbered message is written to the local log and
// also forwarded, as its encoded record, to the Core's mailslot "Vantor_Core" as a "LOGMSG".
// Debug lines stay local; a missing Core changes nothing locally. Forwarding never blocks the
// thread that logs: messages wait in a bounded queue for one forwarding thread, and when a
// Core that does not read lets the queue fill, further messages are dropped and counted (the
// count reaches the local log once the Core reads again). Safe for concurrent use.
#ifndef TARNWICK_IPC_LOGMESSENGERIPC_H_
#define TARNWICK_IPC_LOGMESSENGERIPC_H_

#include <cstdint>
#include <memory>
#include <string>

#include "logging/LogMessenger.h"
#include "platform/Thread.h"

namespace Vantor {

class LogMessengerIPC : public LogMessenger {
 public:
  static constexpr char kCoreName[] = "Vantor_Core";
  static constexpr std::size_t kQueueLimit = 1024;

  explicit LogMessengerIPC(std::shared_ptr<LogWriter> writer, std::string coreName = kCoreName);
  // Gives the forwarder a moment to send what waits, then leaves it.
  ~LogMessengerIPC() override;

  // The local write's result; forwarding never changes it.
  bool send(const std::string& text) override;
  // Messages for the Core dropped because the queue was full or the send failed.
  std::uint64_t dropped() const;

  struct Forwarder;

 private:
  // Shared with the forwarding thread, which may outlive the messenger by one blocked send.
  std::shared_ptr<Forwarder> forwarder_;
  std::unique_ptr<platform::Thread> thread_;  // started by the first numbered message
};

}  // namespace Vantor

#endif  // TARNWICK_IPC_LOGMESSENGERIPC_H_
