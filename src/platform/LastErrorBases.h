// Bases for the platforms' own implementations of the seam, which learn a failure from the
// system's last error: each turns their bool answers into the seam's Status values in one
// place for both platforms.
#ifndef TARNWICK_PLATFORM_LASTERRORBASES_H_
#define TARNWICK_PLATFORM_LASTERRORBASES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Mailslot.h"
#include "platform/Status.h"

namespace Vantor::platform {

// The operations as FileSystem names them; each try* returns false (or null) with the last
// error set.
class LastErrorFileSystem : public FileSystem {
 public:
  Expected<std::unique_ptr<FileStream>> openStream(const std::string& path,
                                                   StreamMode mode) override {
    std::unique_ptr<FileStream> stream = tryOpenStream(path, mode);
    if (!stream) return Expected<std::unique_ptr<FileStream>>::failure(Status::error(lastError()));
    return stream;
  }
  Status getInfo(const std::string& path, PathInfo* info) override {
    return Status::fromLastError(tryGetInfo(path, info));
  }
  Status rename(const std::string& from, const std::string& to, bool replace) override {
    return Status::fromLastError(tryRename(from, to, replace));
  }
  Status copyFile(const std::string& from, const std::string& to, bool overwrite) override {
    return Status::fromLastError(tryCopyFile(from, to, overwrite));
  }
  Status removeFile(const std::string& path, bool force) override {
    return Status::fromLastError(tryRemoveFile(path, force));
  }
  Status makeDirectory(const std::string& path) override {
    return Status::fromLastError(tryMakeDirectory(path));
  }
  Status listDirectory(const std::string& directory, std::vector<DirEntry>* entries) override {
    return Status::fromLastError(tryListDirectory(directory, entries));
  }
  Status absolutePath(const std::string& path, std::string* absolute) override {
    return Status::fromLastError(tryAbsolutePath(path, absolute));
  }
  Status currentDirectory(std::string* directory) override {
    return Status::fromLastError(tryCurrentDirectory(directory));
  }
  Status mayWriteIn(const std::string& directory) override {
    return Status::fromLastError(tryMayWriteIn(directory));
  }

 protected:
  virtual std::unique_ptr<FileStream> tryOpenStream(const std::string& path, StreamMode mode) = 0;
  virtual bool tryGetInfo(const std::string& path, PathInfo* info) = 0;
  virtual bool tryRename(const std::string& from, const std::string& to, bool replace) = 0;
  virtual bool tryCopyFile(const std::string& from, const std::string& to, bool overwrite) = 0;
  virtual bool tryRemoveFile(const std::string& path, bool force) = 0;
  virtual bool tryMakeDirectory(const std::string& path) = 0;
  virtual bool tryListDirectory(const std::string& directory, std::vector<DirEntry>* entries) = 0;
  virtual bool tryAbsolutePath(const std::string& path, std::string* absolute) = 0;
  virtual bool tryCurrentDirectory(std::string* directory) = 0;
  virtual bool tryMayWriteIn(const std::string& directory) = 0;
};

// The reads as MailslotReader names them, each false with the last error set.
class LastErrorMailslotReader : public MailslotReader {
 public:
  Status peek(bool* present, std::size_t* size, std::uint32_t* senderUid) override {
    return Status::fromLastError(peekNext(present, size, senderUid));
  }
  Status read(std::size_t capacity, MailslotMessage* message) override {
    return Status::fromLastError(readNext(capacity, message));
  }
  Status discard() override { return Status::fromLastError(discardNext()); }

 protected:
  virtual bool peekNext(bool* present, std::size_t* size, std::uint32_t* senderUid) = 0;
  virtual bool readNext(std::size_t capacity, MailslotMessage* message) = 0;
  virtual bool discardNext() = 0;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_LASTERRORBASES_H_
