// Processes through the system's snapshot and process handles. A handle keeps its process
// object alive, so the process id cannot pass to another process while the agent holds it,
// and the exit code stays readable after the end: the handle is kept until the agent lets the
// process go, as the system means it to be used.
// The system's headers need its base definitions first.
// clang-format off
#include <windows.h>
#include <psapi.h>
#include <sddl.h>
#include <tlhelp32.h>
// clang-format on

#include "platform/ErrorCodes.h"
#include "platform/ProcessTable.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

constexpr DWORD kFullRights = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ | SYNCHRONIZE;
constexpr DWORD kLimitedRights = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
constexpr DWORD kMaxModules = 4096;

std::uint64_t creationStamp(HANDLE process) {
  FILETIME created;
  FILETIME exited;
  FILETIME kernel;
  FILETIME user;
  if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return fileTimeValue(created);
}

// The process with that id, and with a non-zero stamp only the one that started then.
UniqueHandle openAndCheck(std::uint32_t pid, std::uint64_t startStamp) {
  if (pid == 0) {
    failWithCode(kErrorInvalidParameter);
    return UniqueHandle();
  }
  UniqueHandle process(::OpenProcess(kFullRights, FALSE, pid));
  if (!process.valid()) process = UniqueHandle(::OpenProcess(kLimitedRights, FALSE, pid));
  if (!process.valid()) {
    DWORD error = ::GetLastError();
    failWithCode(error == ERROR_ACCESS_DENIED ? kErrorAccessDenied : kErrorInvalidParameter);
    return UniqueHandle();
  }
  if (startStamp != 0 && creationStamp(process.get()) != startStamp) {
    failWithCode(kErrorInvalidParameter);
    return UniqueHandle();
  }
  return process;
}

bool parentOf(std::uint32_t pid, std::uint32_t* parent) {
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return failWithSystemError();
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == pid) {
      *parent = entry.th32ParentProcessID;
      return true;
    }
  }
  return failWithCode(kErrorInvalidParameter);
}

class Win32ProcessHandle : public ProcessHandle {
 public:
  Win32ProcessHandle(UniqueHandle process, std::uint32_t pid)
      : process_(std::move(process)), pid_(pid), startStamp_(creationStamp(process_.get())) {}

  std::uint32_t pid() const override { return pid_; }
  std::uint64_t startStamp() const override { return startStamp_; }
  void release() override {}

  Status executable(std::string* path) const override {
    return Status::fromLastError(readExecutable(path));
  }
  bool readExecutable(std::string* path) const {
    std::wstring name(32768, L'\0');
    DWORD size = static_cast<DWORD>(name.size());
    if (!::QueryFullProcessImageNameW(process_.get(), 0, name.data(), &size)) return failed();
    *path = narrow(name.data(), size);
    return true;
  }

  Status userSid(std::string* sid) const override {
    return Status::fromLastError(readUserSid(sid));
  }
  bool readUserSid(std::string* sid) const {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process_.get(), TOKEN_QUERY, &token)) return failed();
    UniqueHandle owned(token);
    std::vector<BYTE> buffer = tokenInformation(token, TokenUser);
    if (buffer.empty()) return failed();
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
      return failed();
    }
    *sid = narrow(text, wcslen(text));
    ::LocalFree(text);
    return true;
  }

  bool isRunning() const override {
    return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT;
  }

  Status exitCode(std::uint32_t* code) const override {
    return Status::fromLastError(readExitCode(code));
  }
  bool readExitCode(std::uint32_t* code) const {
    DWORD exit = 0;
    if (!::GetExitCodeProcess(process_.get(), &exit)) return failed();
    // A program may end with the code that means "still active": only the wait tells.
    *code = exit == STILL_ACTIVE && !isRunning() ? 0 : exit;
    return true;
  }

  Status modules(std::vector<std::string>* paths) const override {
    return Status::fromLastError(readModules(paths));
  }
  bool readModules(std::vector<std::string>* paths) const {
    std::vector<HMODULE> modules(256);
    DWORD needed = 0;
    while (true) {
      if (!::EnumProcessModulesEx(process_.get(), modules.data(),
                                  static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed,
                                  LIST_MODULES_ALL)) {
        return failed();
      }
      if (needed <= modules.size() * sizeof(HMODULE) || modules.size() >= kMaxModules) break;
      modules.resize(std::min<std::size_t>(needed / sizeof(HMODULE), kMaxModules));
    }
    modules.resize(std::min<std::size_t>(needed / sizeof(HMODULE), modules.size()));
    paths->clear();
    // The system lists the executable first.
    for (HMODULE module : modules) {
      wchar_t name[MAX_PATH * 4];
      DWORD length = ::GetModuleFileNameExW(process_.get(), module, name, MAX_PATH * 4);
      if (length == 0) continue;
      std::string path = narrow(name, length);
      if (std::find(paths->begin(), paths->end(), path) == paths->end()) paths->push_back(path);
    }
    return true;
  }

  Status programMark(std::uint64_t* mark) const override {
    return Status::fromLastError(readProgramMark(mark));
  }
  bool readProgramMark(std::uint64_t* mark) const {
    // A process runs one program all its life.
    *mark = startStamp_;
    return startStamp_ != 0 || failWithCode(kErrorAccessDenied);
  }

  Status parentPid(std::uint32_t* pid) const override {
    return Status::fromLastError(readParentPid(pid));
  }
  bool readParentPid(std::uint32_t* pid) const { return parentOf(pid_, pid); }

 private:
  bool failed() const {
    DWORD error = ::GetLastError();
    if (error == ERROR_ACCESS_DENIED) return failWithCode(kErrorAccessDenied);
    return failWithCode(isRunning() ? error : kErrorInvalidParameter);
  }

  UniqueHandle process_;
  std::uint32_t pid_;
  std::uint64_t startStamp_;
};

class Win32ProcessTable : public ProcessTable {
 public:
  bool list(std::vector<ListedProcess>* processes) override {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) return failWithSystemError();
    processes->clear();
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more;
         more = ::Process32NextW(snapshot.get(), &entry)) {
      // The idle process is no process of a user.
      if (entry.th32ProcessID == 0) continue;
      ListedProcess listed;
      listed.id.pid = entry.th32ProcessID;
      // Read at every listing: the system hands a freed id to the next process at once.
      UniqueHandle process(::OpenProcess(kLimitedRights, FALSE, listed.id.pid));
      listed.id.startStamp = process.valid() ? creationStamp(process.get()) : 0;
      listed.program = listed.id.startStamp;
      processes->push_back(listed);
    }
    return true;
  }

  std::unique_ptr<ProcessHandle> open(const ProcessId& id) override {
    return openProcess(id.pid, id.startStamp);
  }
};

}  // namespace

std::unique_ptr<ProcessTable> newProcessTable() { return std::make_unique<Win32ProcessTable>(); }

std::unique_ptr<ProcessHandle> openProcess(std::uint32_t pid, std::uint64_t startStamp) {
  UniqueHandle process = openAndCheck(pid, startStamp);
  if (!process.valid()) return nullptr;
  return std::make_unique<Win32ProcessHandle>(std::move(process), pid);
}

std::uint64_t processStartStampNow() {
  FILETIME now;
  ::GetSystemTimeAsFileTime(&now);
  return fileTimeValue(now);
}

bool lookupAccountSid(const std::string& sid, std::string* user, std::string* domain) {
  PSID binary = nullptr;
  if (!::ConvertStringSidToSidW(wide(sid).c_str(), &binary)) return failWithSystemError();
  wchar_t name[256];
  wchar_t group[256];
  DWORD nameSize = 256;
  DWORD groupSize = 256;
  SID_NAME_USE use;
  BOOL found = ::LookupAccountSidW(nullptr, binary, name, &nameSize, group, &groupSize, &use);
  DWORD error = ::GetLastError();
  ::LocalFree(binary);
  if (!found) {
    if (error != ERROR_NONE_MAPPED) return failWithCode(error);
    // An account the system has no name for is named by its identifier.
    *user = sid;
    domain->clear();
    return true;
  }
  *user = narrow(name, nameSize);
  *domain = narrow(group, groupSize);
  wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD computerSize = MAX_COMPUTERNAME_LENGTH + 1;
  // This computer's own accounts have no domain but the computer.
  if (::GetComputerNameW(computer, &computerSize) &&
      ::CompareStringOrdinal(group, static_cast<int>(groupSize), computer,
                             static_cast<int>(computerSize), TRUE) == CSTR_EQUAL) {
    domain->clear();
  }
  return true;
}

}  // namespace Vantor::platform
