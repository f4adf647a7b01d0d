#include "ipc/IPCClient.h"

#include "foundation/IPCException.h"
#include "ipc/IPCMessage.h"

namespace Vantor {

bool IPCClient::send(const std::string& type, const std::string& reference, const std::string& body,
                     const std::string& replyTo) {
  std::string text = formatIPCMessage(type, reference, body, replyTo);
  std::shared_ptr<MailSlot> transport;
  {
    platform::MutexLock lock(&mutex_);
    if (!transport_) transport_ = std::make_shared<MailSlot>(env_, IPC::SENDER, target_);
    transport = transport_;
  }
  try {
    return transport->send(text);
  } catch (IPCException& error) {
    error.addLocation(__FILE__, __LINE__);
    throw;
  }
}

}  // namespace Vantor
