// Mailslots are the system's own. The system does not tell a reader who wrote a message, so
// the reader's security descriptor decides instead: only the system, administrators and the
// reader's own user may write, and every message that arrives is vouched for as theirs.
#include <atomic>

#include "platform/ErrorCodes.h"
#include "platform/LastErrorBases.h"
#include "platform/Mailslot.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// How long a wait sleeps between looks at the slot: the system offers no wait for a
// message that does not also take it.
constexpr DWORD kLookMillis = 20;
constexpr std::size_t kMaxMessage = 64 * 1024;

std::wstring slotPath(const std::string& name) { return L"\\\\.\\mailslot\\" + wide(name); }

class Win32MailslotReader : public LastErrorMailslotReader {
 public:
  Win32MailslotReader(UniqueHandle slot, UniqueHandle wake, std::uint32_t readerUid)
      : slot_(std::move(slot)), wake_(std::move(wake)), readerUid_(readerUid) {}

  bool peekNext(bool* present, std::size_t* size, std::uint32_t* senderUid) override {
    *senderUid = readerUid_;
    return nextMessageSize(present, size);
  }

  bool discardNext() override {
    MailslotMessage ignored;
    return readNext(0, &ignored);
  }

  bool readNext(std::size_t capacity, MailslotMessage* message) override {
    bool present = false;
    std::size_t size = 0;
    if (!nextMessageSize(&present, &size)) return false;
    if (!present) return failWithCode(kErrorNoMoreFiles);
    // The whole message is taken, so that its rest cannot pass for the next one.
    std::string bytes(std::max<std::size_t>(size, 1), '\0');
    DWORD got = 0;
    if (!::ReadFile(slot_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
      return failWithSystemError();
    }
    bytes.resize(std::min<std::size_t>(got, capacity));
    message->bytes = std::move(bytes);
    message->senderUid = readerUid_;
    return true;
  }

  bool waitForMessage(std::uint32_t timeoutMillis) override {
    ULONGLONG deadline = ::GetTickCount64() + timeoutMillis;
    while (true) {
      bool present = false;
      std::size_t size = 0;
      if (!nextMessageSize(&present, &size)) return false;
      if (present) return true;
      ULONGLONG now = ::GetTickCount64();
      if (now >= deadline) return false;
      DWORD pause = static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, kLookMillis));
      if (::WaitForSingleObject(wake_.get(), pause) == WAIT_OBJECT_0) return false;
    }
  }

  void wake() override { ::SetEvent(wake_.get()); }

 private:
  bool nextMessageSize(bool* present, std::size_t* size) {
    DWORD next = 0;
    DWORD count = 0;
    if (!::GetMailslotInfo(slot_.get(), nullptr, &next, &count, nullptr)) {
      return failWithSystemError();
    }
    *present = next != MAILSLOT_NO_MESSAGE;
    *size = *present ? next : 0;
    return true;
  }

  UniqueHandle slot_;
  UniqueHandle wake_;  // auto-reset: one wake ends one wait
  std::uint32_t readerUid_;
};

class Win32MailslotWriter : public MailslotWriter {
 public:
  explicit Win32MailslotWriter(UniqueHandle slot) : slot_(std::move(slot)) {}

  Status write(const std::string& bytes) override { return Status::fromLastError(send(bytes)); }

  bool send(const std::string& bytes) {
    if (bytes.size() > kMaxMessage) return failWithCode(kErrorInvalidParameter);
    DWORD written = 0;
    if (!::WriteFile(slot_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr)) {
      return failWithSystemError();
    }
    return written == bytes.size() || failWithCode(kErrorWriteFault);
  }

 private:
  UniqueHandle slot_;
};

}  // namespace

std::unique_ptr<MailslotReader> createMailslot(const std::string& name) {
  if (!isValidMailslotName(name)) {
    failWithCode(kErrorInvalidName);
    return nullptr;
  }
  // Larger messages are refused to their writer: no sender makes the reader hold more.
  UniqueHandle slot(::CreateMailslotW(slotPath(name).c_str(), kMaxMessage, 0, ownersOnly()));
  if (!slot.valid()) {
    failWithSystemError();
    return nullptr;
  }
  UniqueHandle wake(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!wake.valid()) {
    failWithSystemError();
    return nullptr;
  }
  return std::make_unique<Win32MailslotReader>(std::move(slot), std::move(wake), currentUserId());
}

std::unique_ptr<MailslotWriter> openMailslot(const std::string& name) {
  if (!isValidMailslotName(name)) {
    failWithCode(kErrorInvalidName);
    return nullptr;
  }
  UniqueHandle slot(::CreateFileW(slotPath(name).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!slot.valid()) {
    failWithSystemError();
    return nullptr;
  }
  return std::make_unique<Win32MailslotWriter>(std::move(slot));
}

}  // namespace Vantor::platform
