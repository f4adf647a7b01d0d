// The suite's mailslot message: "Vantor", type, reference, body and an optional reply-to,
// each followed by ESC (27); on the wire a NUL ends the text. Pure functions, fuzzable.
#ifndef TARNWICK_IPC_IPCMESSAGE_H_
#define TARNWICK_IPC_IPCMESSAGE_H_

#include <string>
#include <string_view>

namespace Vantor {

inline constexpr char kIPCFieldSeparator = '\x1B';
inline constexpr std::string_view kIPCHeader = "Vantor";

struct IPCMessage {
  std::string type;       // "COMMAND", "REPLY", "LOGMSG", ...
  std::string reference;  // a reply carries its request's reference unchanged
  std::string body;
  std::string replyTo;  // the sender's own mailslot; may be empty
};

// The reply-to field and its separator are left out when replyTo is empty.
std::string formatIPCMessage(std::string_view type, std::string_view reference,
                             std::string_view body, std::string_view replyTo);

// Reads a received text up to its first NUL. False when its first field is not exactly
// "Vantor"; the other fields are positional, a missing one is empty.
bool parseIPCMessage(std::string_view text, IPCMessage* message);

}  // namespace Vantor

#endif  // TARNWICK_IPC_IPCMESSAGE_H_
