#include "ipc/LogMessengerIPC.h"

#include "logging/LogCommons.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

bool LogMessengerIPC::send(const std::string& text) {
  bool written = LogMessenger::send(text);
  if (isDebugRecord(text)) return written;
  std::call_once(clientMade_, [this] { client_ = std::make_unique<IPCClient>(coreName_); });
  try {
    client_->send("LOGMSG", "", text, "");
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    // The Core is away or busy: the message is in the local log all the same.
  }
  return written;
}

}  // namespace Vantor
