// Any received bytes split into a message or are refused; a message formats back into a text
// that splits into the same fields whenever its fields hold no separator.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "ipc/IPCMessage.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Vantor::IPCMessage message;
  if (!Vantor::parseIPCMessage(text, &message)) return 0;
  if (message.replyTo.empty()) return 0;  // an empty reply-to is left out when formatting
  Vantor::IPCMessage again;
  std::string formatted =
      Vantor::formatIPCMessage(message.type, message.reference, message.body, message.replyTo);
  if (!Vantor::parseIPCMessage(formatted, &again) || again.type != message.type ||
      again.reference != message.reference || again.body != message.body ||
      again.replyTo != message.replyTo) {
    std::abort();
  }
  return 0;
}
