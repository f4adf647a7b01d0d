// The log messenger of the program: every numbered message is written to the local log and
// also forwarded, as its encoded record, to the Core's mailslot "Vantor_Core" as a "LOGMSG".
// Debug lines stay local; a missing Core changes nothing locally. Safe for concurrent use.
#ifndef TARNWICK_IPC_LOGMESSENGERIPC_H_
#define TARNWICK_IPC_LOGMESSENGERIPC_H_

#include <memory>
#include <mutex>
#include <string>

#include "ipc/IPCClient.h"
#include "logging/LogMessenger.h"

namespace Vantor {

class LogMessengerIPC : public LogMessenger {
 public:
  static constexpr char kCoreName[] = "Vantor_Core";

  explicit LogMessengerIPC(std::shared_ptr<LogWriter> writer, std::string coreName = kCoreName)
      : LogMessenger(std::move(writer)), coreName_(std::move(coreName)) {}

  // The local write's result; forwarding never changes it.
  bool send(const std::string& text) override;

 private:
  const std::string coreName_;
  std::once_flag clientMade_;
  std::unique_ptr<IPCClient> client_;  // made once, by the first message of any thread
};

}  // namespace Vantor

#endif  // TARNWICK_IPC_LOGMESSENGERIPC_H_
