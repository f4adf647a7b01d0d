// Sends suite messages to one named mailslot. The transport is made on the first send and
// kept. Safe for concurrent use, also for that first send.
#ifndef TARNWICK_IPC_IPCCLIENT_H_
#define TARNWICK_IPC_IPCCLIENT_H_

#include <memory>
#include <string>

#include "ipc/MailSlot.h"
#include "platform/Env.h"
#include "platform/Mutex.h"

namespace Vantor {

class IPCClient {
 public:
  IPCClient(platform::Env& env, std::string target) : env_(env), target_(std::move(target)) {}

  // True, or throws IPCException.
  bool send(const std::string& type, const std::string& reference, const std::string& body,
            const std::string& replyTo) LOCKS_EXCLUDED(mutex_);

  const std::string& target() const { return target_; }

 private:
  platform::Env& env_;
  const std::string target_;
  platform::Mutex mutex_;
  std::shared_ptr<MailSlot> transport_ GUARDED_BY(mutex_);
};

}  // namespace Vantor

#endif  // TARNWICK_IPC_IPCCLIENT_H_
