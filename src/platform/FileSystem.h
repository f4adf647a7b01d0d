// Files and directories. Every operation of the file system answers a Win32 error code with
// its failure (Status.h); a stream keeps the code of its last failure; nothing here throws.
#ifndef TARNWICK_PLATFORM_FILESYSTEM_H_
#define TARNWICK_PLATFORM_FILESYSTEM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Status.h"

namespace Vantor::platform {

// Win32 file attribute bits, as getInfo reports them.
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
inline constexpr std::uint32_t kAttributeNormal = 0x80;

struct PathInfo {
  bool isDirectory = false;
  std::uint64_t size = 0;
  std::uint32_t attributes = 0;
  // UTC seconds since the epoch; creation falls back to the last change where the file
  // system does not keep it.
  std::int64_t creationTime = 0;
  std::int64_t lastAccessTime = 0;
  std::int64_t lastWriteTime = 0;
};

struct DirEntry {
  std::string name;  // the entry's own name, without the directory
  bool isFile = false;
};

// How a stream opens its file. No mode translates line ends.
enum class StreamMode {
  kRead,             // existing file, reading
  kWrite,            // created or emptied, writing
  kAppend,           // created if missing, every write at the end
  kUpdate,           // created if missing, reading and writing in place
  kUpdateTruncate,   // created or emptied, reading and writing
  kUpdateAppend,     // created if missing, reading anywhere, writing at the end
  kCreateExclusive,  // writing; fails with kErrorFileExists when the file exists
};

enum class SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

// A buffered byte stream over one open file. Owned and used by one thread at a time.
class FileStream {
 public:
  virtual ~FileStream() = default;

  // Reads up to count bytes; returns how many arrived. Fewer than count means end of file
  // or an error; error() tells which.
  virtual std::size_t read(void* buffer, std::size_t count) = 0;
  // Writes all count bytes or fails.
  virtual bool write(const void* buffer, std::size_t count) = 0;
  // Hands buffered bytes to the kernel.
  virtual bool flush() = 0;
  // Flushes and asks the kernel to put the file on stable storage.
  virtual bool sync() = 0;
  virtual bool seek(std::int64_t offset, SeekOrigin origin) = 0;
  // The current position, or -1 on failure.
  virtual std::int64_t tell() = 0;
  // True when the next read would deliver no byte.
  virtual bool atEnd() = 0;
  // True after a read failed for a reason other than the end of the file.
  virtual bool error() = 0;
  // The Win32 code of the stream's last failure; 0 if none.
  virtual std::uint32_t errorNumber() = 0;
  // Flushes and closes; further calls fail. The destructor closes an open stream too.
  virtual bool close() = 0;
};

// Safe for concurrent use by multiple threads.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual Expected<std::unique_ptr<FileStream>> openStream(const std::string& path,
                                                           StreamMode mode) = 0;

  // Facts about a file or directory; kErrorFileNotFound when it is missing.
  virtual Status getInfo(const std::string& path, PathInfo* info) = 0;

  // Renames within one file system. Without replace an existing target fails with
  // kErrorAlreadyExists. With replace the target is replaced atomically, a move between
  // file systems copies and removes, and the result is on stable storage on return.
  virtual Status rename(const std::string& from, const std::string& to, bool replace) = 0;

  // Copies content and permissions; without overwrite an existing target fails with
  // kErrorFileExists.
  virtual Status copyFile(const std::string& from, const std::string& to, bool overwrite) = 0;

  // Removes a file (not a directory). A read-only file is removed only with force.
  virtual Status removeFile(const std::string& path, bool force) = 0;

  virtual Status makeDirectory(const std::string& path) = 0;

  // Every entry of directory, "." and ".." left out, in no particular order.
  virtual Status listDirectory(const std::string& directory, std::vector<DirEntry>* entries) = 0;

  // The absolute form of path, without "." and ".." components; the file need not exist.
  virtual Status absolutePath(const std::string& path, std::string* absolute) = 0;

  virtual Status currentDirectory(std::string* directory) = 0;
  // Whether this user may make files in the existing folder directory; nothing is made.
  virtual Status mayWriteIn(const std::string& directory) = 0;

  // Why a user other than the system's administrator and this process's own could change
  // what path names (the file or folder, a symbolic link on the way, or a folder above it
  // that lets them rename or replace it), as a sentence; empty when none could. A missing
  // path is judged by the folders that would hold it.
  virtual std::string whyOthersMayChange(const std::string& path) = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_FILESYSTEM_H_
