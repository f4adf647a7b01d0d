#include "platform/win32/Win32Support.h"

// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <vector>

#include "platform/ErrorCodes.h"

namespace Vantor::platform {

namespace {

constexpr std::int64_t kFileTimeOfUnixEpoch = 116444736000000000LL;
constexpr std::int64_t kFileTicksPerSecond = 10000000LL;

// Descriptors made once and kept: every named object of the process shares them.
SECURITY_ATTRIBUTES* attributesOf(const wchar_t* sddl) {
  auto* attributes = new SECURITY_ATTRIBUTES{};
  attributes->nLength = sizeof *attributes;
  attributes->bInheritHandle = FALSE;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
    delete attributes;
    return nullptr;
  }
  attributes->lpSecurityDescriptor = descriptor;
  return attributes;
}

}  // namespace

bool failWithSystemError() {
  setLastError(static_cast<std::uint32_t>(::GetLastError()));
  return false;
}

bool failWithCode(std::uint32_t code) {
  setLastError(code);
  return false;
}

std::wstring wide(const std::string& text) {
  if (text.empty()) return {};
  int length =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring result(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        length);
  return result;
}

std::string narrow(const wchar_t* text, std::size_t length) {
  if (length == 0) return {};
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr,
                                   nullptr);
  std::string result(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size, nullptr,
                        nullptr);
  return result;
}

std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

std::uint64_t fileTimeValue(const FILETIME& time) {
  return static_cast<std::uint64_t>(time.dwHighDateTime) << 32 | time.dwLowDateTime;
}

std::int64_t unixSecondsOfFileTime(const FILETIME& time) {
  return (static_cast<std::int64_t>(fileTimeValue(time)) - kFileTimeOfUnixEpoch) /
         kFileTicksPerSecond;
}

FILETIME fileTimeOfUnixSeconds(std::int64_t seconds) {
  auto ticks = static_cast<std::uint64_t>(seconds * kFileTicksPerSecond + kFileTimeOfUnixEpoch);
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(ticks);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

SECURITY_ATTRIBUTES* everyoneMayUse() {
  // Everybody may wait, set and see who owns it (SYNCHRONIZE, the modify-state right of
  // mutexes and events, READ_CONTROL), not change who may.
  static SECURITY_ATTRIBUTES* const attributes =
      attributesOf(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x120003;;;WD)");
  return attributes;
}

SECURITY_ATTRIBUTES* ownersOnly() {
  static SECURITY_ATTRIBUTES* const attributes =
      attributesOf(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)");
  return attributes;
}

std::wstring globalObjectName(const std::string& name) { return L"Global\\" + wide(name); }

std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  ::GetTokenInformation(token, kind, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, kind, buffer.data(), size, &size)) {
    failWithSystemError();
    buffer.clear();
  }
  return buffer;
}

namespace {

// Whether sid is one this process's token names: its user, or the owner it gives what it
// makes (the user, or the administrators for an elevated one).
bool isOurs(PSID sid) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  UniqueHandle owned(token);
  std::vector<BYTE> user = tokenInformation(token, TokenUser);
  std::vector<BYTE> owner = tokenInformation(token, TokenOwner);
  return (!user.empty() && ::EqualSid(sid, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid)) ||
         (!owner.empty() && ::EqualSid(sid, reinterpret_cast<TOKEN_OWNER*>(owner.data())->Owner));
}

}  // namespace

bool ownedByUsOrTheSystem(HANDLE object) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool ours =
      owner != nullptr && (::IsWellKnownSid(owner, WinLocalSystemSid) ||
                           ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || isOurs(owner));
  ::LocalFree(descriptor);
  return ours;
}

}  // namespace Vantor::platform
