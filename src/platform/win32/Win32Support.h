// What every file of the Windows layer shares: error codes, UTF-8 and UTF-16 text, owned
// handles and file times.
#ifndef TARNWICK_PLATFORM_WIN32_WIN32SUPPORT_H_
#define TARNWICK_PLATFORM_WIN32_WIN32SUPPORT_H_

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Vantor::platform {

// Sets lastError() from the system's last error and returns false, for
// "return failWithSystemError();".
bool failWithSystemError();
// Sets lastError() to code and returns false.
bool failWithCode(std::uint32_t code);

// The system speaks UTF-16; the agent speaks UTF-8. A string with invalid UTF-8 converts what
// it can, with U+FFFD for the rest.
std::wstring wide(const std::string& text);
std::string narrow(const wchar_t* text, std::size_t length);
std::string narrow(const std::wstring& text);

// 100 ns intervals since 1601 to seconds since 1970, and back.
std::int64_t unixSecondsOfFileTime(const FILETIME& time);
std::uint64_t fileTimeValue(const FILETIME& time);
FILETIME fileTimeOfUnixSeconds(std::int64_t seconds);

// A kernel object's handle, closed when the owner goes.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = other.release();
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr; }
  HANDLE release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void reset() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A security descriptor that lets everybody wait on and set a named object and read its
// owner, with the system and administrators in full control; nullptr when it cannot be made.
SECURITY_ATTRIBUTES* everyoneMayUse();
// One that lets the system, administrators and this process's own user in, nobody else.
SECURITY_ATTRIBUTES* ownersOnly();

// The name of a kernel object shared by every session of the machine.
std::wstring globalObjectName(const std::string& name);

// A token's information of one kind, in a buffer of the size the system asks for; empty
// (lastError set) when it cannot be read.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind);

// Whether a kernel object belongs to this process's user, the system or administrators: one
// another user made first under a name this process meant for itself is refused, as on other
// systems a file another user made is.
bool ownedByUsOrTheSystem(HANDLE object);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_WIN32_WIN32SUPPORT_H_
