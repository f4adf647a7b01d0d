// Mailslots: one-way datagram channels on this machine, known by name. A reader owns the
// named channel and takes whole messages; any process may write to it. Names are plain:
// 1-100 characters of [A-Za-z0-9_.-], so a name can never point elsewhere on the machine.
#ifndef TARNWICK_PLATFORM_MAILSLOT_H_
#define TARNWICK_PLATFORM_MAILSLOT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Status.h"

namespace Vantor::platform {

bool isValidMailslotName(const std::string& name);

struct MailslotMessage {
  std::string bytes;
  std::uint32_t senderUid = 0xFFFFFFFFu;  // as the system vouches for it; all ones if unknown
};

// Used by one thread at a time.
class MailslotReader {
 public:
  virtual ~MailslotReader() = default;
  // Whether a message waits, its size and its sender, without taking it.
  virtual Status peek(bool* present, std::size_t* size, std::uint32_t* senderUid) = 0;
  // Reads the next message, at most capacity bytes of it.
  virtual Status read(std::size_t capacity, MailslotMessage* message) = 0;
  // Takes the next message without keeping any of it.
  virtual Status discard() = 0;
  // Waits up to timeoutMillis for a message; true when one waits. wake() ends the wait (or
  // the next one) early, with false.
  virtual bool waitForMessage(std::uint32_t timeoutMillis) = 0;
  // The one call that may come from any thread.
  virtual void wake() = 0;
};

// Safe for concurrent use: each write is one whole message.
class MailslotWriter {
 public:
  virtual ~MailslotWriter() = default;
  // An error when the message could not be delivered in time.
  virtual Status write(const std::string& bytes) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_MAILSLOT_H_
