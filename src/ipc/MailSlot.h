// The mailslot transport: a receiver owns a named mailslot and takes the waiting messages in
// bounded passes; a sender opens the named mailslot on its first send. Writes of all the
// suite's processes are serialised by the machine-wide lock "Vantor_MailSlot". Errors are
// IPCExceptions.
#ifndef TARNWICK_IPC_MAILSLOT_H_
#define TARNWICK_IPC_MAILSLOT_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "concurrency/MachineMutex.h"
#include "platform/Env.h"
#include "platform/Mailslot.h"
#include "platform/Mutex.h"

namespace Vantor {

struct ReceivedMessage {
  std::string text;         // up to the first NUL
  std::uint32_t senderUid;  // 0xFFFFFFFF when the system did not tell
};

// The transport interface. Sending to every machine of a domain is not offered: nothing uses it.
class IPC {
 public:
  enum Mode { RECEIVER = 0, SENDER = 1 };

  explicit IPC(Mode mode) : mode_(mode) {}
  virtual ~IPC() = default;
  virtual bool send(const std::string& text) = 0;
  virtual void receive(std::vector<ReceivedMessage>& list) = 0;
  Mode mode() const { return mode_; }

 private:
  const Mode mode_;
};

// Whose messages a receiver keeps. Anyone on the machine may write to a mailslot; the
// messages of others are dropped unread, so they cost the receiver neither memory nor log.
enum class Senders {
  kRootAndSelf,  // the system's administrator and this process's own user
  kAnyone,
};

// What a receiver dropped since it was last asked.
struct DroppedMessages {
  std::map<std::uint32_t, std::uint64_t> bySender;  // of senders it does not hear
  std::uint64_t oversized = 0;                       // longer than kMaxMessageBytes
  bool empty() const { return bySender.empty() && oversized == 0; }
};

// send() is safe for concurrent use; receive() belongs to one thread.
class MailSlot : public IPC {
 public:
  // A pass of receive() looks at this many messages at most, and keeps this many bytes: a
  // flood leaves the receiver's other work its turn and its memory bounded.
  static constexpr std::size_t kPassMessages = 256;
  static constexpr std::size_t kPassBytes = 1 << 20;
  // No message of the suite comes near this; a longer one is dropped.
  static constexpr std::size_t kMaxMessageBytes = 64 * 1024;

  // A receiver creates the mailslot now (IC_CANNOT_CREATE_COMM when it cannot, or when the
  // name is not 1-100 characters of [A-Za-z0-9_.-]).
  MailSlot(platform::Env& env, Mode mode, std::string name,
           Senders heard = Senders::kRootAndSelf);

  // IC_NOT_SENDER for a receiver; IC_CANNOT_SEND when the mailslot cannot be opened (with the
  // system's text) or the write fails ("Error <code>"; the next send opens it again).
  bool send(const std::string& text) override;
  // Appends the waiting messages of senders it hears, one bounded pass of them (more may
  // wait). IC_NOT_RECEIVER for a sender, IC_CANNOT_RECEIVE on failure.
  void receive(std::vector<ReceivedMessage>& list) override;
  // What was dropped since the last call, and starts counting afresh.
  DroppedMessages takeDropped();
  // Receiver: waits up to timeoutMillis for a message to arrive, or for wake().
  bool waitForMessage(std::uint32_t timeoutMillis);
  // Receiver: ends the wait under way, or the next one; may be called from any thread.
  void wake();

  const std::string& name() const { return name_; }

 private:
  bool hears(std::uint32_t senderUid) const;

  platform::Env& env_;
  const std::string name_;
  const Senders heard_;
  std::unique_ptr<platform::MailslotReader> reader_;
  DroppedMessages dropped_;  // the receiving thread's
  platform::Mutex sendMutex_;
  std::unique_ptr<platform::MailslotWriter> writer_ GUARDED_BY(sendMutex_);
  MachineMutex writerLock_ GUARDED_BY(sendMutex_);
};

}  // namespace Vantor

#endif  // TARNWICK_IPC_MAILSLOT_H_
