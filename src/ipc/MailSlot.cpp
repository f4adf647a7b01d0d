#include "ipc/MailSlot.h"

#include <utility>

#include "foundation/IPCException.h"
#include "platform/Env.h"
#include "platform/ErrorCodes.h"

namespace Vantor {

namespace {
constexpr char kWriterLockName[] = "Vantor_MailSlot";
}  // namespace

MailSlot::MailSlot(platform::Env& env, Mode mode, std::string name, Senders heard)
    : IPC(mode),
      env_(env),
      name_(std::move(name)),
      heard_(heard),
      writerLock_(env, kWriterLockName) {
  if (mode != RECEIVER) return;
  env_.prepareNamedMutex(kWriterLockName);  // for senders who may not create it
  if (!platform::isValidMailslotName(name_)) {
    throw IPCException(IPCException::IC_CANNOT_CREATE_COMM, "Invalid mailslot name: " + name_,
                       __FILE__, __LINE__);
  }
  platform::Expected<std::unique_ptr<platform::MailslotReader>> made = env_.createMailslot(name_);
  if (!made) {
    std::string refusal = env_.namedObjectsRefusal();
    throw IPCException(IPCException::IC_CANNOT_CREATE_COMM,
                       refusal.empty() ? std::to_string(made.error()) : refusal, __FILE__,
                       __LINE__);
  }
  reader_ = std::move(made.value());
}

bool MailSlot::send(const std::string& text) {
  if (mode() == RECEIVER) {
    throw IPCException(IPCException::IC_NOT_SENDER, name_, __FILE__, __LINE__);
  }
  platform::MutexLock lock(&sendMutex_);
  if (!writer_) {
    if (!platform::isValidMailslotName(name_)) {
      throw IPCException(IPCException::IC_CANNOT_SEND, "Invalid mailslot name: " + name_, __FILE__,
                         __LINE__);
    }
    platform::Expected<std::unique_ptr<platform::MailslotWriter>> opened = env_.openMailslot(name_);
    if (!opened) {
      throw IPCException(IPCException::IC_CANNOT_SEND, env_.errorText(opened.error()), __FILE__,
                         __LINE__);
    }
    writer_ = std::move(opened.value());
  }
  // The machine-wide lock orders the writers of the suite. The system delivers each message
  // whole, so a writer that finds the lock held elsewhere (by anyone: every user may open it)
  // writes without it rather than wait on a holder it cannot trust.
  bool serialised = writerLock_.tryTake().ok();
  platform::Status written = writer_->write(text + std::string(1, '\0'));
  if (serialised) writerLock_.release();
  if (!written) {
    writer_.reset();
    std::uint32_t error = written.code();
    std::string detail = "Error " + std::to_string(error);
    if (error == platform::kErrorNetUnreachable) detail += " - No network";
    throw IPCException(IPCException::IC_CANNOT_SEND, detail, __FILE__, __LINE__);
  }
  return true;
}

bool MailSlot::hears(std::uint32_t senderUid) const {
  return heard_ == Senders::kAnyone || senderUid == 0 || senderUid == env_.userId();
}

void MailSlot::receive(std::vector<ReceivedMessage>& list) {
  if (mode() != RECEIVER) {
    throw IPCException(IPCException::IC_NOT_RECEIVER, name_, __FILE__, __LINE__);
  }
  auto failed = [](const platform::Status& status) {
    return IPCException(IPCException::IC_CANNOT_RECEIVE, std::to_string(status.code()), __FILE__,
                        __LINE__);
  };
  std::size_t kept = 0;
  for (std::size_t looked = 0; looked < kPassMessages; ++looked) {
    bool present = false;
    std::size_t size = 0;
    std::uint32_t sender = 0;
    if (platform::Status peeked = reader_->peek(&present, &size, &sender); !peeked) {
      throw failed(peeked);
    }
    if (!present) return;
    bool heard = hears(sender);
    if (!heard || size > kMaxMessageBytes) {
      if (platform::Status discarded = reader_->discard(); !discarded) throw failed(discarded);
      if (heard) {
        ++dropped_.oversized;
      } else {
        ++dropped_.bySender[sender];
      }
      continue;
    }
    if (kept + size > kPassBytes && kept > 0) return;  // the next pass takes it
    platform::MailslotMessage message;
    if (platform::Status read = reader_->read(size + 1, &message); !read) throw failed(read);
    kept += message.bytes.size();
    std::string text = message.bytes.substr(0, message.bytes.find('\0'));
    list.push_back({std::move(text), message.senderUid});
  }
}

DroppedMessages MailSlot::takeDropped() { return std::exchange(dropped_, {}); }

bool MailSlot::waitForMessage(std::uint32_t timeoutMillis) {
  return reader_ && reader_->waitForMessage(timeoutMillis);
}

void MailSlot::wake() {
  if (reader_) reader_->wake();
}

}  // namespace Vantor
