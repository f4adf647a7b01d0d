#include "ipc/IPCMessage.h"

namespace Vantor {

namespace {

// The text up to the next separator (all of it when there is none); the rest after it.
std::string_view takeField(std::string_view* rest) {
  std::size_t end = rest->find(kIPCFieldSeparator);
  std::string_view field = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  return field;
}

}  // namespace

std::string formatIPCMessage(std::string_view type, std::string_view reference,
                             std::string_view body, std::string_view replyTo) {
  std::string text;
  for (std::string_view field : {kIPCHeader, type, reference, body}) {
    text += field;
    text.push_back(kIPCFieldSeparator);
  }
  if (!replyTo.empty()) {
    text += replyTo;
    text.push_back(kIPCFieldSeparator);
  }
  return text;
}

bool parseIPCMessage(std::string_view text, IPCMessage* message) {
  text = text.substr(0, text.find('\0'));
  if (takeField(&text) != kIPCHeader) return false;
  message->type = std::string(takeField(&text));
  message->reference = std::string(takeField(&text));
  message->body = std::string(takeField(&text));
  message->replyTo = std::string(takeField(&text));
  return true;
}

}  // namespace Vantor
