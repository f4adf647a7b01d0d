// Files through the system's own calls, with wide names: every path the agent meets may hold
// any character. Streams share reading, writing and deletion with other programs, so a data
// file can be renamed while a reader has it open, as on other systems.
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/LastErrorBases.h"
#include "platform/PathSeparator.h"
#include "platform/SystemServices.h"
#include "platform/win32/Win32Support.h"

namespace Vantor::platform {

namespace {

constexpr std::size_t kWriteBuffer = 64 * 1024;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

struct OpenRule {
  DWORD access;
  DWORD disposition;
};

OpenRule openRule(StreamMode mode) {
  // Appending streams may not write in place: the system puts every write at the end.
  constexpr DWORD kAppendOnly = FILE_APPEND_DATA | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
  switch (mode) {
    case StreamMode::kRead:
      return {GENERIC_READ, OPEN_EXISTING};
    case StreamMode::kWrite:
      return {GENERIC_WRITE, CREATE_ALWAYS};
    case StreamMode::kAppend:
      return {kAppendOnly, OPEN_ALWAYS};
    case StreamMode::kUpdate:
      return {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS};
    case StreamMode::kUpdateTruncate:
      return {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS};
    case StreamMode::kUpdateAppend:
      return {kAppendOnly | FILE_READ_DATA, OPEN_ALWAYS};
    case StreamMode::kCreateExclusive:
      return {GENERIC_WRITE, CREATE_NEW};
  }
  return {GENERIC_READ, OPEN_EXISTING};
}

// Writes are gathered and handed over in one call; reads go straight to the system.
class Win32FileStream : public FileStream {
 public:
  explicit Win32FileStream(UniqueHandle handle) : handle_(std::move(handle)) {}
  ~Win32FileStream() override { close(); }

  std::size_t read(void* buffer, std::size_t count) override {
    if (!drain()) return 0;
    auto* bytes = static_cast<char*>(buffer);
    std::size_t done = 0;
    while (done < count) {
      DWORD got = 0;
      DWORD asked = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
      if (!::ReadFile(handle_.get(), bytes + done, asked, &got, nullptr)) {
        remember(::GetLastError());
        failed_ = true;
        break;
      }
      if (got == 0) {
        atEnd_ = true;
        break;
      }
      done += got;
    }
    return done;
  }

  bool write(const void* buffer, std::size_t count) override {
    if (!handle_.valid()) return failWithCode(kErrorInvalidHandle);
    const char* bytes = static_cast<const char*>(buffer);
    if (pending_.size() + count > kWriteBuffer && !drain()) return false;
    if (count >= kWriteBuffer) return writeThrough(bytes, count);
    pending_.insert(pending_.end(), bytes, bytes + count);
    return true;
  }

  bool flush() override { return drain(); }

  bool sync() override {
    if (!drain()) return false;
    return ::FlushFileBuffers(handle_.get()) || keepFailure();
  }

  bool seek(std::int64_t offset, SeekOrigin origin) override {
    if (!drain()) return false;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    DWORD method = origin == SeekOrigin::kBegin     ? FILE_BEGIN
                   : origin == SeekOrigin::kCurrent ? FILE_CURRENT
                                                    : FILE_END;
    if (!::SetFilePointerEx(handle_.get(), distance, nullptr, method)) return keepFailure();
    atEnd_ = false;
    return true;
  }

  std::int64_t tell() override {
    if (!drain()) return -1;
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(handle_.get(), zero, &position, FILE_CURRENT)) {
      keepFailure();
      return -1;
    }
    return position.QuadPart;
  }

  bool atEnd() override {
    if (atEnd_) return true;
    LARGE_INTEGER size{};
    std::int64_t position = tell();
    return position >= 0 && ::GetFileSizeEx(handle_.get(), &size) && position >= size.QuadPart;
  }

  bool error() override { return failed_; }

  std::uint32_t errorNumber() override { return errorNumber_; }

  bool close() override {
    if (!handle_.valid()) return failWithCode(kErrorInvalidHandle);
    bool drained = drain();
    handle_.reset();
    return drained;
  }

 private:
  bool keepFailure() {
    remember(::GetLastError());
    return false;
  }

  void remember(DWORD error) {
    errorNumber_ = static_cast<std::uint32_t>(error);
    setLastError(errorNumber_);
  }

  bool writeThrough(const char* bytes, std::size_t count) {
    while (count > 0) {
      DWORD written = 0;
      DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count, 1u << 30));
      if (!::WriteFile(handle_.get(), bytes, chunk, &written, nullptr)) return keepFailure();
      bytes += written;
      count -= written;
    }
    return true;
  }

  bool drain() {
    if (!handle_.valid()) return failWithCode(kErrorInvalidHandle);
    if (pending_.empty()) return true;
    bool written = writeThrough(pending_.data(), pending_.size());
    pending_.clear();
    return written;
  }

  UniqueHandle handle_;
  std::vector<char> pending_;
  bool atEnd_ = false;
  bool failed_ = false;
  std::uint32_t errorNumber_ = 0;
};

std::int64_t secondsOf(const FILETIME& time) { return unixSecondsOfFileTime(time); }

class Win32FileSystem : public LastErrorFileSystem {
 protected:
  std::unique_ptr<FileStream> tryOpenStream(const std::string& path, StreamMode mode) override {
    OpenRule rule = openRule(mode);
    HANDLE handle = ::CreateFileW(wide(path).c_str(), rule.access, kShareAll, nullptr,
                                  rule.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
      failWithSystemError();
      return nullptr;
    }
    return std::make_unique<Win32FileStream>(UniqueHandle(handle));
  }

  bool tryGetInfo(const std::string& path, PathInfo* info) override {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!::GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) {
      DWORD error = ::GetLastError();
      return failWithCode(error == ERROR_PATH_NOT_FOUND ? kErrorFileNotFound : error);
    }
    *info = PathInfo();
    info->isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->size = static_cast<std::uint64_t>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
    info->attributes = data.dwFileAttributes;
    info->creationTime = secondsOf(data.ftCreationTime);
    info->lastAccessTime = secondsOf(data.ftLastAccessTime);
    info->lastWriteTime = secondsOf(data.ftLastWriteTime);
    return true;
  }

  bool tryRename(const std::string& from, const std::string& to, bool replace) override {
    DWORD flags =
        replace ? MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH : 0;
    if (::MoveFileExW(wide(from).c_str(), wide(to).c_str(), flags)) return true;
    DWORD error = ::GetLastError();
    return failWithCode(error == ERROR_FILE_EXISTS ? kErrorAlreadyExists : error);
  }

  bool tryCopyFile(const std::string& from, const std::string& to, bool overwrite) override {
    if (::CopyFileW(wide(from).c_str(), wide(to).c_str(), overwrite ? FALSE : TRUE)) return true;
    DWORD error = ::GetLastError();
    return failWithCode(error == ERROR_ALREADY_EXISTS ? kErrorFileExists : error);
  }

  bool tryRemoveFile(const std::string& path, bool force) override {
    std::wstring name = wide(path);
    if (force) {
      DWORD attributes = ::GetFileAttributesW(name.c_str());
      if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
      }
    }
    return ::DeleteFileW(name.c_str()) || failWithSystemError();
  }

  bool tryMakeDirectory(const std::string& path) override {
    return ::CreateDirectoryW(wide(path).c_str(), nullptr) || failWithSystemError();
  }

  bool tryListDirectory(const std::string& directory, std::vector<DirEntry>* entries) override {
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileExW(wide(pattern + "*").c_str(), FindExInfoBasic, &found,
                                       FindExSearchNameMatch, nullptr, 0);
    entries->clear();
    if (search == INVALID_HANDLE_VALUE) return failWithSystemError();
    do {
      std::string name = narrow(found.cFileName, wcslen(found.cFileName));
      if (name == "." || name == "..") continue;
      entries->push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0});
    } while (::FindNextFileW(search, &found));
    DWORD error = ::GetLastError();
    ::FindClose(search);
    return error == ERROR_NO_MORE_FILES || failWithCode(error);
  }

  bool tryAbsolutePath(const std::string& path, std::string* absolute) override {
    std::wstring name = wide(path);
    DWORD size = ::GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (size == 0) return failWithSystemError();
    std::wstring full(size, L'\0');
    size = ::GetFullPathNameW(name.c_str(), size, full.data(), nullptr);
    if (size == 0) return failWithSystemError();
    full.resize(size);
    *absolute = narrow(full);
    return true;
  }

  // Access lists decide, and reading them is the installer's business: an existing folder
  // that is not read-only is taken as writable.
  bool tryMayWriteIn(const std::string& directory) override {
    DWORD attributes = ::GetFileAttributesW(wide(directory).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return failWithSystemError();
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      ::SetLastError(ERROR_DIRECTORY);
      return false;
    }
    return true;
  }

  bool tryCurrentDirectory(std::string* directory) override {
    DWORD size = ::GetCurrentDirectoryW(0, nullptr);
    if (size == 0) return failWithSystemError();
    std::wstring current(size, L'\0');
    size = ::GetCurrentDirectoryW(size, current.data());
    if (size == 0) return failWithSystemError();
    current.resize(size);
    *directory = narrow(current);
    return true;
  }

  // Access lists, which the installer sets, decide who may change a folder.
 public:
  std::string whyOthersMayChange(const std::string&) override { return {}; }
};

}  // namespace

FileSystem& systemFileSystem() {
  static FileSystem* const fileSystem = new Win32FileSystem;
  return *fileSystem;
}

extern const char kPathSeparator = '\\';
extern const bool kFileNamesIgnoreCase = true;

}  // namespace Vantor::platform
