// This process: its identity, its rights, and how the system asks it to end. A service
// manager or a user ends the agent with WM_CLOSE to its hidden window, or with Ctrl-C or
// Ctrl-Break in a console; the system itself as it shuts down.
#include <thread>

#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

// How long a closing console or an ending session waits for the agent to hand over its data:
// the system ends the process once the handler returns (sooner, at its own limit).
constexpr DWORD kEndingGraceMillis = 20000;

std::function<void()>* endRequested = nullptr;

BOOL WINAPI onConsoleControl(DWORD kind) {
  switch (kind) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (endRequested != nullptr) (*endRequested)();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      if (endRequested != nullptr) (*endRequested)();
      // The process ends on its own once the agent has stopped, this thread with it.
      ::Sleep(kEndingGraceMillis);
      return TRUE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK onWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      if (endRequested != nullptr) (*endRequested)();
      return 0;
    case WM_ENDSESSION:
      // Only a session that really ends: one whose end was called off goes on. The system
      // ends the process once this returns, so it waits here for the hand-over.
      if (wParam != FALSE && endRequested != nullptr) {
        (*endRequested)();
        ::Sleep(kEndingGraceMillis);
      }
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    default:
      return ::DefWindowProcW(window, message, wParam, lParam);
  }
}

// The hidden window that receives the system's requests, on a thread of its own.
void runMessageLoop() {
  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = onWindowMessage;
  windowClass.hInstance = ::GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"TarnwickAgent";
  if (::RegisterClassW(&windowClass) == 0) return;
  HWND window = ::CreateWindowExW(0, windowClass.lpszClassName, L"Tarnwick", 0, 0, 0, 0, 0, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return;
  MSG message;
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
}

}  // namespace

std::uint32_t currentProcessId() { return ::GetCurrentProcessId(); }

std::uint32_t currentUserId() {
  // The system's administrator is 0, as the core counts: the local system account or an
  // elevated administrator. Any other user is the last part of its security identifier.
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return 0xFFFFFFFFu;
  UniqueHandle owned(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
      elevation.TokenIsElevated) {
    return 0;
  }
  std::vector<BYTE> buffer = tokenInformation(token, TokenUser);
  if (buffer.empty()) return 0xFFFFFFFFu;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (::IsWellKnownSid(sid, WinLocalSystemSid)) return 0;
  UCHAR count = *::GetSidSubAuthorityCount(sid);
  return count == 0 ? 0xFFFFFFFFu : *::GetSidSubAuthority(sid, count - 1u);
}

bool threadExists(std::uint32_t threadId) {
  // Thread ids are the whole system's: one of another process is not ours.
  UniqueHandle thread(
      ::OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, threadId));
  return thread.valid() && ::GetProcessIdOfThread(thread.get()) == ::GetCurrentProcessId() &&
         ::WaitForSingleObject(thread.get(), 0) == WAIT_TIMEOUT;
}

void raiseOpenFileLimit() {
  // The system sets no per-process limit on handles that a program could raise.
}

bool enableDebugPrivilege(std::string* failedStep) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
    *failedStep = "OpenProcessToken";
    return failWithSystemError();
  }
  UniqueHandle owned(token);
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  if (!::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
    *failedStep = "LookupPrivilegeValue";
    return failWithSystemError();
  }
  // Success of the call is not success of the change: the last error tells.
  if (!::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) ||
      ::GetLastError() != ERROR_SUCCESS) {
    *failedStep = "AdjustTokenPrivileges";
    return failWithSystemError();
  }
  return true;
}

void watchProcessSignals(std::function<void()> onEnd, std::function<void()> onReconfigure) {
  // The configuration is read again on the Core's command: the system has no such request.
  (void)onReconfigure;
  // Kept for the process's life: the handlers may run until its very end.
  endRequested = new std::function<void()>(std::move(onEnd));
  ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
  std::thread(runMessageLoop).detach();
}

std::string namedObjectsRefusal() {
  // Named objects live in the system's own namespace, not in a folder that could be refused.
  return {};
}

std::string namedObjectsFolder() { return {}; }

std::string systemErrorText(std::uint32_t code) {
  wchar_t* text = nullptr;
  DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "Windows error " + std::to_string(code);
  std::string message = narrow(text, length);
  ::LocalFree(text);
  while (!message.empty() &&
         (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
    message.pop_back();
  }
  return message;
}

}  // namespace Vantor::platform
