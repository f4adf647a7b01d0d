#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ErrorCodes.h"
#include "platform/FileSystem.h"
#include "platform/LastErrorBases.h"
#include "platform/PathSeparator.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"

namespace Vantor::platform {

namespace {

int openFlags(StreamMode mode) {
  switch (mode) {
    case StreamMode::kRead:
      return O_RDONLY;
    case StreamMode::kWrite:
      return O_WRONLY | O_CREAT | O_TRUNC;
    case StreamMode::kAppend:
      return O_WRONLY | O_CREAT | O_APPEND;
    case StreamMode::kUpdate:
      return O_RDWR | O_CREAT;
    case StreamMode::kUpdateTruncate:
      return O_RDWR | O_CREAT | O_TRUNC;
    case StreamMode::kUpdateAppend:
      return O_RDWR | O_CREAT | O_APPEND;
    case StreamMode::kCreateExclusive:
      return O_WRONLY | O_CREAT | O_EXCL;
  }
  return O_RDONLY;
}

const char* stdioMode(StreamMode mode) {
  switch (mode) {
    case StreamMode::kRead:
      return "rb";
    case StreamMode::kWrite:
    case StreamMode::kCreateExclusive:
      return "wb";
    case StreamMode::kAppend:
      return "ab";
    case StreamMode::kUpdate:
    case StreamMode::kUpdateTruncate:
      return "r+b";
    case StreamMode::kUpdateAppend:
      return "a+b";
  }
  return "rb";
}

// stdio stream over a descriptor opened with O_CLOEXEC. stdio requires a seek or flush
// between a write and a following read (and the reverse); the stream inserts one.
class PosixFileStream : public FileStream {
 public:
  explicit PosixFileStream(FILE* file) : file_(file) {}
  ~PosixFileStream() override { close(); }

  std::size_t read(void* buffer, std::size_t count) override {
    if (!prepare(Direction::kReading)) return 0;
    std::size_t got = fread(buffer, 1, count, file_);
    if (got < count && ferror(file_)) note(errno);
    return got;
  }

  bool write(const void* buffer, std::size_t count) override {
    if (!prepare(Direction::kWriting)) return false;
    if (fwrite(buffer, 1, count, file_) != count) return note(errno);
    return true;
  }

  bool flush() override {
    if (file_ == nullptr) return note(EBADF);
    return fflush(file_) == 0 || note(errno);
  }

  bool sync() override {
    if (!flush()) return false;
    return ::fsync(fileno(file_)) == 0 || note(errno);
  }

  bool seek(std::int64_t offset, SeekOrigin origin) override {
    if (file_ == nullptr) return note(EBADF);
    int whence = origin == SeekOrigin::kBegin     ? SEEK_SET
                 : origin == SeekOrigin::kCurrent ? SEEK_CUR
                                                  : SEEK_END;
    if (fseeko(file_, static_cast<off_t>(offset), whence) != 0) return note(errno);
    direction_ = Direction::kNone;
    return true;
  }

  std::int64_t tell() override {
    if (file_ == nullptr) return note(EBADF), -1;
    off_t position = ftello(file_);
    if (position < 0) note(errno);
    return position;
  }

  bool atEnd() override {
    if (file_ == nullptr || !prepare(Direction::kReading)) return true;
    int c = getc(file_);
    if (c == EOF) return true;
    ungetc(c, file_);
    return false;
  }

  bool error() override { return file_ == nullptr || ferror(file_) != 0; }

  std::uint32_t errorNumber() override { return error_; }

  bool close() override {
    if (file_ == nullptr) return note(EBADF);
    bool closed = fclose(file_) == 0;
    int error = errno;
    file_ = nullptr;
    return closed || note(error);
  }

 private:
  enum class Direction { kNone, kReading, kWriting };

  bool note(int error) {
    error_ = win32FromErrno(error);
    setLastError(error_);
    return false;
  }

  bool prepare(Direction wanted) {
    if (file_ == nullptr) return note(EBADF);
    if (direction_ != Direction::kNone && direction_ != wanted && fseeko(file_, 0, SEEK_CUR) != 0) {
      return note(errno);
    }
    direction_ = wanted;
    return true;
  }

  FILE* file_;
  Direction direction_ = Direction::kNone;
  std::uint32_t error_ = kErrorSuccess;
};

bool isRootOrSelf(uid_t owner) { return owner == 0 || owner == ::geteuid(); }

// Whether an access list gives write to a user other than root and this one, or to a group
// other than root's: the mode bits do not show it.
bool aclLetsOthersWrite(const std::string& path) {
  constexpr std::uint16_t kUser = 0x02, kGroup = 0x08, kWrite = 0x02;
  unsigned char acl[4 + 8 * 64];
  ssize_t size = ::lgetxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
  if (size < 0) return errno == ERANGE;  // more entries than anyone needs: judged as unsafe
  for (ssize_t at = 4; at + 8 <= size; at += 8) {
    std::uint16_t tag = static_cast<std::uint16_t>(acl[at] | acl[at + 1] << 8);
    std::uint16_t permissions = static_cast<std::uint16_t>(acl[at + 2] | acl[at + 3] << 8);
    std::uint32_t id = static_cast<std::uint32_t>(acl[at + 4]) | acl[at + 5] << 8 |
                       acl[at + 6] << 16 | static_cast<std::uint32_t>(acl[at + 7]) << 24;
    if ((permissions & kWrite) == 0) continue;
    if ((tag == kUser && !isRootOrSelf(id)) || (tag == kGroup && id != 0)) return true;
  }
  return false;
}

// The complaint about one step of a path, or empty. A folder that others may write but that
// has the sticky bit lets them replace only their own entries, so it may stand above the path
// (as /tmp does) but not be the path.
std::string stepProblem(const std::string& step, const struct stat& status, bool last) {
  std::string owner = std::to_string(status.st_uid);
  if (S_ISLNK(status.st_mode)) {
    return isRootOrSelf(status.st_uid) ? "" : step + " is a symbolic link of user " + owner + ".";
  }
  if (!isRootOrSelf(status.st_uid)) return step + " belongs to user " + owner + ".";
  bool othersWrite = (status.st_mode & S_IWOTH) != 0 ||
                     ((status.st_mode & S_IWGRP) != 0 && status.st_gid != 0) ||
                     aclLetsOthersWrite(step);
  if (othersWrite && !(S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX) != 0 && !last)) {
    return step + " may be written by other users.";
  }
  return {};
}

// Walks path from the root one component at a time, as the kernel does; the components are
// taken as written, so a link or ".." on the way is judged where it stands. Sets *existing to
// the longest prefix that exists.
std::string walkProblem(const std::string& path, std::string* existing) {
  std::vector<std::string> parts;
  for (std::string::size_type start = 0; start < path.size();) {
    std::string::size_type end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && path.compare(start, end - start, ".") != 0) {
      parts.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  std::string step = "/";
  *existing = "/";
  struct stat status {};
  if (::lstat("/", &status) != 0) return {};
  if (std::string problem = stepProblem("/", status, parts.empty()); !problem.empty()) {
    return problem;
  }
  for (std::size_t i = 0; i < parts.size(); ++i) {
    std::string parent = step;
    step += (step.size() > 1 ? "/" : "") + parts[i];
    if (::lstat(step.c_str(), &status) != 0) {
      // Made later, in the folder above: others must not be able to make it first.
      struct stat above {};
      if (::stat(parent.c_str(), &above) != 0) return parent + " cannot be looked at.";
      std::string problem = stepProblem(parent, above, true);
      return problem.empty() ? "" : problem + " Another user could make " + step + " first.";
    }
    *existing = step;
    if (std::string problem = stepProblem(step, status, i + 1 == parts.size()); !problem.empty()) {
      return problem;
    }
  }
  return {};
}

class PosixFileSystem : public LastErrorFileSystem {
 protected:
  std::unique_ptr<FileStream> tryOpenStream(const std::string& path, StreamMode mode) override {
    // Records and logs are for this user and its group, whatever the umask.
    int fd = openRegularFile(path, openFlags(mode), 0640);
    if (fd < 0) {
      int error = errno;
      failWith(error);
      if (error == EEXIST) setLastError(kErrorFileExists);
      return nullptr;
    }
    FILE* file = ::fdopen(fd, stdioMode(mode));
    if (file == nullptr) {
      int error = errno;
      ::close(fd);
      failWith(error);
      return nullptr;
    }
    return std::make_unique<PosixFileStream>(file);
  }

  bool tryGetInfo(const std::string& path, PathInfo* info) override {
    struct statx status {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &status) != 0) {
      return failWith(errno);
    }
    info->isDirectory = S_ISDIR(status.stx_mode);
    info->size = status.stx_size;
    info->lastAccessTime = status.stx_atime.tv_sec;
    info->lastWriteTime = status.stx_mtime.tv_sec;
    info->creationTime =
        (status.stx_mask & STATX_BTIME) ? status.stx_btime.tv_sec : status.stx_ctime.tv_sec;
    info->attributes = 0;
    if (info->isDirectory) info->attributes |= kAttributeDirectory;
    if ((status.stx_mode & 0222) == 0) info->attributes |= kAttributeReadOnly;
    std::string::size_type slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 1 && name[0] == '.' && name != "..") info->attributes |= kAttributeHidden;
    if (info->attributes == 0) info->attributes = kAttributeNormal;
    return true;
  }

  bool tryRename(const std::string& from, const std::string& to, bool replace) override {
    if (!replace) {
      if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
      }
      if (errno != EINVAL && errno != ENOSYS) return failWith(errno);
      // The file system cannot refuse to replace atomically: check, then rename.
      struct stat status {};
      if (::lstat(to.c_str(), &status) == 0) return failWith(EEXIST);
      return ::rename(from.c_str(), to.c_str()) == 0 || failWith(errno);
    }
    if (::rename(from.c_str(), to.c_str()) != 0) {
      if (errno != EXDEV) return failWith(errno);
      if (!copyFile(from, to, true) || !removeFile(from, true)) return false;
    }
    return syncParentDirectory(to);
  }

  bool tryCopyFile(const std::string& from, const std::string& to, bool overwrite) override {
    int source = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (source < 0) return failWith(errno);
    struct stat status {};
    if (::fstat(source, &status) != 0 || S_ISDIR(status.st_mode)) {
      int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
      ::close(source);
      return failWith(error);
    }
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (overwrite ? O_TRUNC : O_EXCL);
    int target = ::open(to.c_str(), flags, status.st_mode & 07777);
    if (target < 0) {
      int error = errno;
      ::close(source);
      failWith(error);
      if (error == EEXIST) setLastError(kErrorFileExists);
      return false;
    }
    bool copied = copyAll(source, target);
    std::uint32_t copyError = lastError();
    bool closed = ::close(target) == 0;
    int closeError = errno;
    ::close(source);
    if (!copied) {
      setLastError(copyError);
      return false;
    }
    return closed || failWith(closeError);
  }

  bool tryRemoveFile(const std::string& path, bool force) override {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return failWith(errno);
    if (S_ISDIR(status.st_mode)) return failWith(EACCES);
    // Root ignores permission bits, so a read-only file is protected here, not by the kernel.
    if (!force && !S_ISLNK(status.st_mode) && (status.st_mode & 0222) == 0) {
      return failWith(EACCES);
    }
    return ::unlink(path.c_str()) == 0 || failWith(errno);
  }

  bool tryMakeDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), 0750) != 0) return failWith(errno);
    ::fchmodat(AT_FDCWD, path.c_str(), 0750, AT_SYMLINK_NOFOLLOW);  // whatever the umask
    return true;
  }

  bool tryListDirectory(const std::string& directory, std::vector<DirEntry>* entries) override {
    DIR* dir = ::opendir(directory.empty() ? "." : directory.c_str());
    if (dir == nullptr) return failWith(errno);
    std::string prefix = directory.empty() || directory.back() == '/' ? directory : directory + "/";
    errno = 0;
    while (dirent* entry = ::readdir(dir)) {
      std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      bool isFile = entry->d_type == DT_REG;
      if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
        struct stat status {};
        isFile = ::stat((prefix + name).c_str(), &status) == 0 && S_ISREG(status.st_mode);
      }
      entries->push_back({name, isFile});
      errno = 0;  // a dangling link's failed stat is no error of the listing
    }
    int error = errno;
    ::closedir(dir);
    return error == 0 || failWith(error);
  }

  bool tryAbsolutePath(const std::string& path, std::string* absolute) override {
    std::string full = path;
    if (path.empty() || path[0] != '/') {
      std::string current;
      if (!currentDirectory(&current)) return false;
      full = current + "/" + path;
    }
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    while (start <= full.size()) {
      std::string::size_type end = full.find('/', start);
      if (end == std::string::npos) end = full.size();
      std::string part = full.substr(start, end - start);
      if (part == "..") {
        if (!parts.empty()) parts.pop_back();
      } else if (!part.empty() && part != ".") {
        parts.push_back(part);
      }
      start = end + 1;
    }
    absolute->clear();
    for (const std::string& part : parts) *absolute += "/" + part;
    if (absolute->empty()) *absolute = "/";
    return true;
  }

  bool tryCurrentDirectory(std::string* directory) override {
    char buffer[4096];
    if (::getcwd(buffer, sizeof buffer) == nullptr) return failWith(errno);
    *directory = buffer;
    return true;
  }

  bool tryMayWriteIn(const std::string& directory) override {
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) return failWith(errno);
    if (!S_ISDIR(status.st_mode)) return failWith(ENOTDIR);
    return ::access(directory.c_str(), W_OK | X_OK) == 0 || failWith(errno);
  }

 public:
  std::string whyOthersMayChange(const std::string& path) override {
    std::string full = path;
    if (full.empty() || full[0] != '/') {
      std::string current;
      if (!currentDirectory(&current)) return "The current folder cannot be read.";
      full = current + "/" + path;
    }
    // As written, so links are judged, then as resolved, so their targets are.
    std::string existing;
    if (std::string problem = walkProblem(full, &existing); !problem.empty()) return problem;
    // What cannot be resolved (a link to nothing yet) could be made to lead anywhere.
    char* resolved = ::realpath(existing.c_str(), nullptr);
    if (resolved == nullptr) return existing + " cannot be resolved.";
    std::string target = resolved;
    std::free(resolved);
    return walkProblem(target, &existing);
  }
};

}  // namespace

FileSystem& systemFileSystem() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* fileSystem = new PosixFileSystem();
  return *fileSystem;
}

}  // namespace Vantor::platform

namespace Vantor::platform {

const char kPathSeparator = '/';
const bool kFileNamesIgnoreCase = false;

}  // namespace Vantor::platform
