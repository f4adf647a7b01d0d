// One open file, plain or gzip. Opening for writing takes the lock file (path + ".lock") and,
// unless told otherwise, writes a temporary copy (path + ".tmp") that replaces the file only
// when it is closed, so a crash never leaves a half-written file under the file's own name.
// Every failure throws FileException with the file's name in the detail. A file object
// belongs to one thread.
#ifndef TARNWICK_FOUNDATION_FILEBASE_H_
#define TARNWICK_FOUNDATION_FILEBASE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "foundation/LockFile.h"
#include "foundation/TimeSpan.h"
#include "platform/Env.h"

namespace Vantor {

class FileBase {
 public:
  // Access flags for open().
  static constexpr std::uint32_t ACCESS_READ = 0x01;
  static constexpr std::uint32_t ACCESS_WRITE = 0x02;
  static constexpr std::uint32_t ACCESS_TRUNCATE = 0x04;  // with read and write: empty it
  static constexpr std::uint32_t ACCESS_RESERVED = 0x08;  // no effect
  static constexpr std::uint32_t ACCESS_APPEND = 0x10;    // writes go to the end
  static constexpr std::uint32_t ACCESS_UNSAFE = 0x20;    // write in place, no temporary copy
  static constexpr std::uint32_t ACCESS_NOLOCK = 0x40;    // no lock file, no temporary copy

  enum Origin { OFFSET_BEGIN = 0, OFFSET_CURRENT = 1, OFFSET_END = 2 };

  // How many times close() tries to move the temporary copy into place, and the pause
  // between tries.
  static constexpr int kCommitAttempts = 10;
  static constexpr std::int32_t kCommitPauseSeconds = 2;

  FileBase(platform::Env& env, std::string path);
  // An object destroyed while open is aborted: the file keeps its old content.
  virtual ~FileBase();
  FileBase(const FileBase&) = delete;
  FileBase& operator=(const FileBase&) = delete;

  void open(std::uint32_t flags);
  // Closes, moves the temporary copy onto the file, then releases the lock.
  void close();
  // Closes without committing: the file stays as it was and the temporary copy goes.
  void abort();

  // Read up to count bytes; FL_EOF when none are left.
  std::size_t readString(std::string& text, std::size_t count);
  std::size_t read(void* buffer, std::size_t count);
  void writeString(const std::string& text);
  void write(const void* buffer, std::size_t count);
  // The text up to the next line feed, without it; FL_EOF at the end of the file.
  std::string readLine();
  // The text and one line feed, in one write.
  void writeLine(const std::string& text);
  void flush();
  void seek(std::int64_t offset, Origin origin);
  std::uint64_t tell();
  bool isEof();

  // Size in bytes of the file being worked on (the temporary copy while one is open), with
  // this object's buffered bytes included.
  std::uint64_t size();
  bool isOpen() const { return !closed_; }

  const std::string& getPath() const { return path_; }
  void setLockTimeout(const TimeSpan& timeout) { lockTimeout_ = timeout; }
  bool isSafeUpdate() const { return safeUpdate_; }

 protected:
  // The kind's own rules for access flags, beyond the common ones; throws FL_ACCESS_COMB.
  virtual void checkAccess(std::uint32_t flags) = 0;
  // Opens name (the file or its temporary copy); throws FileException on failure.
  virtual void openStream(const std::string& name, std::uint32_t flags) = 0;
  // False when the stream could not be closed cleanly; the stream is gone either way.
  virtual bool closeStream() = 0;
  virtual std::size_t readBytes(void* buffer, std::size_t count) = 0;
  // Reads one line without its line feed; bytes consumed, 0 at the end of the file.
  virtual std::size_t readLineBytes(std::string* line) = 0;
  virtual bool writeBytes(const void* buffer, std::size_t count) = 0;
  virtual bool flushStream() = 0;
  // Throws FL_POSITION or FL_ERROR.
  virtual void seekStream(std::int64_t offset, Origin origin) = 0;
  virtual std::uint64_t tellStream() = 0;
  virtual bool atEnd() = 0;
  virtual bool streamFailed() = 0;
  virtual std::int64_t streamErrorNumber() = 0;
  // The detail of FL_RENAME when the temporary copy cannot replace the file.
  virtual std::string renameFailureDetail() const;

  // For the destructors of the kinds, which own the stream that abort() closes.
  void abortIfOpen() noexcept;

  platform::Env& env() const { return env_; }
  const std::string& openName() const { return openName_; }
  std::uint32_t accessFlags() const { return flags_; }
  std::uint64_t position() const { return position_; }

 private:
  void takeLock(std::uint32_t flags);
  void cleanupFailedOpen();
  void commitTemporary();
  void releaseLock();
  void ensureOpen();

  platform::Env& env_;
  std::string path_;
  bool closed_ = true;
  bool safeUpdate_ = false;
  std::uint32_t flags_ = 0;
  std::uint64_t position_ = 0;
  std::unique_ptr<LockFile> lock_;
  TimeSpan lockTimeout_{60};
  std::string openName_;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_FILEBASE_H_
