#include "foundation/FileBase.h"

#include "foundation/DateTime.h"
#include "foundation/FileException.h"
#include "foundation/FileOps.h"

namespace Vantor {

namespace {

FileException fileError(std::int32_t code, std::string detail, int line) {
  return FileException(code, std::move(detail), __FILE__, line);
}

std::string temporaryName(const std::string& path) { return path + ".tmp"; }

}  // namespace

FileBase::FileBase(platform::Env& env, std::string path) : env_(env), path_(std::move(path)) {}

FileBase::~FileBase() = default;

void FileBase::open(std::uint32_t flags) {
  if (isOpen()) throw fileError(FileException::FL_IS_OPEN, path_, __LINE__);
  bool reading = (flags & ACCESS_READ) != 0;
  bool writing = (flags & ACCESS_WRITE) != 0;
  if ((reading && !writing && (flags & (ACCESS_TRUNCATE | ACCESS_RESERVED | ACCESS_APPEND))) ||
      ((flags & ACCESS_TRUNCATE) && (flags & ACCESS_APPEND))) {
    throw fileError(FileException::FL_ACCESS_COMB, path_, __LINE__);
  }
  checkAccess(flags);
  if (reading && !writing && !FileOps::exists(env_, path_)) {
    throw fileError(FileException::FL_EXISTS_NOT, path_ + "-->File does not exist.", __LINE__);
  }
  safeUpdate_ = false;
  openName_ = path_;
  if (writing && !(flags & ACCESS_NOLOCK)) takeLock(flags);
  try {
    openStream(openName_, flags);
  } catch (FileException& error) {
    cleanupFailedOpen();
    error.addLocation(__FILE__, __LINE__);
    throw;
  }
  closed_ = false;
  flags_ = flags;
  position_ = (flags & ACCESS_APPEND) ? tellStream() : 0;
}

void FileBase::takeLock(std::uint32_t flags) {
  lock_ = std::make_unique<LockFile>(env_, path_);
  if (lock_->isLocked() && !lock_->release()) {
    lock_.reset();
    throw fileError(FileException::FL_IS_LOCKED, path_, __LINE__);
  }
  bool unsafe = (flags & ACCESS_UNSAFE) != 0;
  // The lock comes before the temporary copy: copying first would overwrite the copy of a
  // writer that won the lock meanwhile.
  if (!lock_->acquire(lockTimeout_, !unsafe)) {
    bool lost = lock_->lostRace();
    lock_.reset();
    throw fileError(lost ? FileException::FL_IS_LOCKED : FileException::FL_CANNOT_LOCK, path_,
                    __LINE__);
  }
  if (unsafe) return;
  safeUpdate_ = true;
  openName_ = temporaryName(path_);
  if (lock_->targetExisted() && !FileOps::copy(env_, path_, openName_, true)) {
    cleanupFailedOpen();
    throw fileError(FileException::FL_CANNOT_COPY, path_, __LINE__);
  }
}

void FileBase::cleanupFailedOpen() {
  if (lock_) {
    bool createdTarget = !safeUpdate_ && !lock_->targetExisted() && FileOps::exists(env_, path_);
    bool released = lock_->release();
    if (createdTarget) FileOps::remove(env_, path_, true);
    lock_.reset();
    if (!released) {
      if (safeUpdate_) FileOps::remove(env_, openName_, true);
      throw fileError(FileException::FL_CANNOT_UNLOCK, path_, __LINE__);
    }
  }
  if (safeUpdate_) FileOps::remove(env_, openName_, true);
  safeUpdate_ = false;
}

void FileBase::close() {
  ensureOpen();
  closed_ = true;
  if (!closeStream()) {
    // The copy may be incomplete: the file keeps its old content, the copy stays for
    // inspection.
    releaseLock();
    throw fileError(FileException::FL_CANNOT_CLOSE, openName_, __LINE__);
  }
  if (safeUpdate_) commitTemporary();
  releaseLock();
}

void FileBase::commitTemporary() {
  if (lock_) lock_->closeHeldTarget();
  // The lock is still ours while the copy moves, so no other writer can start from the old
  // content in between.
  for (int attempt = 1; attempt <= kCommitAttempts; ++attempt) {
    if (FileOps::move(env_, openName_, path_, true)) return;
    if (attempt < kCommitAttempts) DateTime::waitSeconds(kCommitPauseSeconds);
  }
  releaseLock();
  throw fileError(FileException::FL_RENAME, renameFailureDetail(), __LINE__);
}

std::string FileBase::renameFailureDetail() const {
  return "Failed to update the file \"" + path_ + "\"";
}

void FileBase::releaseLock() {
  if (!lock_) return;
  bool released = lock_->release();
  lock_.reset();
  if (!released) throw fileError(FileException::FL_CANNOT_UNLOCK, path_, __LINE__);
}

void FileBase::abort() {
  ensureOpen();
  closed_ = true;
  closeStream();
  if (lock_) lock_->closeHeldTarget();
  if (safeUpdate_) FileOps::remove(env_, openName_, true);
  releaseLock();
}

void FileBase::abortIfOpen() noexcept {
  if (!isOpen()) return;
  try {
    abort();
  } catch (FileException&) {
    // Nobody to tell from a destructor; a lock left behind expires on its own.
  }
}

void FileBase::ensureOpen() {
  if (!isOpen()) throw fileError(FileException::FL_IS_CLOSED, path_, __LINE__);
}

std::size_t FileBase::readString(std::string& text, std::size_t count) {
  text.resize(count);
  std::size_t got = read(text.data(), count);
  text.resize(got);
  return got;
}

std::size_t FileBase::read(void* buffer, std::size_t count) {
  ensureOpen();
  if (!(flags_ & ACCESS_READ)) throw fileError(FileException::FL_CANNOT_READ, path_, __LINE__);
  std::size_t got = readBytes(buffer, count);
  if (got == 0 && count > 0) {
    throw fileError(streamFailed() ? FileException::FL_READ : FileException::FL_EOF, path_,
                    __LINE__);
  }
  position_ += got;
  return got;
}

std::string FileBase::readLine() {
  ensureOpen();
  if (!(flags_ & ACCESS_READ)) throw fileError(FileException::FL_CANNOT_READ, path_, __LINE__);
  std::string line;
  std::size_t consumed = readLineBytes(&line);
  if (consumed == 0) {
    throw fileError(streamFailed() ? FileException::FL_READ : FileException::FL_EOF, path_,
                    __LINE__);
  }
  position_ += consumed;
  return line;
}

void FileBase::writeString(const std::string& text) { write(text.data(), text.size()); }

void FileBase::write(const void* buffer, std::size_t count) {
  ensureOpen();
  if (!(flags_ & ACCESS_WRITE)) {
    throw fileError(FileException::FL_CANNOT_WRITE, path_, __LINE__);
  }
  if (!writeBytes(buffer, count)) {
    throw fileError(FileException::FL_WRITE,
                    path_ + " - BFile error: " + std::to_string(streamErrorNumber()) +
                        " - Access: " + std::to_string(flags_),
                    __LINE__);
  }
  position_ += count;
}

void FileBase::writeLine(const std::string& text) { writeString(text + "\n"); }

void FileBase::flush() {
  ensureOpen();
  if (!flushStream()) throw fileError(FileException::FL_FLUSH, path_, __LINE__);
}

void FileBase::seek(std::int64_t offset, Origin origin) {
  ensureOpen();
  seekStream(offset, origin);
  position_ = tellStream();
}

std::uint64_t FileBase::tell() {
  ensureOpen();
  return tellStream();
}

bool FileBase::isEof() {
  ensureOpen();
  return atEnd();
}

std::uint64_t FileBase::size() {
  if (isOpen() && (flags_ & ACCESS_WRITE)) flushStream();
  FileOps::FileInfo info;
  if (!FileOps::getInfo(env_, isOpen() ? openName_ : path_, &info)) {
    throw fileError(FileException::FL_ACCESS, path_, __LINE__);
  }
  return info.size;
}

}  // namespace Vantor
