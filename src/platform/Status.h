// What a call of the seam that can fail answers: a Status (success, or the system's error
// code, a Win32 code as ErrorCodes.h names them), or an Expected value (the value, or the code
// that stood in its way). The code travels with the answer, so that no call made in between
// (a log line, say) can overwrite it.
#ifndef TARNWICK_PLATFORM_STATUS_H_
#define TARNWICK_PLATFORM_STATUS_H_

#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/ErrorCodes.h"

namespace Vantor::platform {

class Status {
 public:
  // Success.
  Status() = default;
  // A failure; a code of 0 (no code was left) is a general failure, never a success.
  static Status error(std::uint32_t code) {
    Status failed;
    failed.code_ = code == kErrorSuccess ? kErrorGenFailure : code;
    return failed;
  }
  // Success when ok, else the code the calling thread's last failed system call left. For the
  // seam's own implementations, which learn the code that way.
  static Status fromLastError(bool ok) { return ok ? Status() : error(lastError()); }

  bool ok() const { return code_ == kErrorSuccess; }
  explicit operator bool() const { return ok(); }
  // kErrorSuccess on success.
  std::uint32_t code() const { return code_; }

 private:
  std::uint32_t code_ = kErrorSuccess;
};

template <typename T>
class Expected {
 public:
  // The value: a null handle is still a value, so a failure is said by failure() alone.
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U&&, T>>>
  Expected(U&& value) : value_(std::forward<U>(value)) {}  // NOLINT: a value converts implicitly
  static Expected failure(Status status) {
    Expected failed{T{}};
    failed.status_ = status.ok() ? Status::error(kErrorGenFailure) : status;
    return failed;
  }

  bool ok() const { return status_.ok(); }
  explicit operator bool() const { return ok(); }
  // kErrorSuccess when there is a value.
  std::uint32_t error() const { return status_.code(); }
  T& value() { return value_; }
  const T& value() const { return value_; }

 private:
  T value_;
  Status status_;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_STATUS_H_
