// The registry as a text file in the export format: $VANTOR_REGISTRY, else
// /etc/vantor/registry.reg. Readers read the whole file without a lock; writers serialise on
// flock and replace the file atomically, so readers see it before or after a write.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <functional>

#include "platform/ErrorCodes.h"
#include "platform/Registry.h"
#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"
#include "platform/posix/RegistryFile.h"

namespace Vantor::platform {

namespace {

constexpr char kRoot[] = "HKEY_LOCAL_MACHINE\\";

std::string registryPath() {
  const char* path = std::getenv("VANTOR_REGISTRY");
  return path != nullptr && *path != '\0' ? path : "/etc/vantor/registry.reg";
}

// Opens the registry file and locks it exclusively. The lock must be on the inode that
// currently carries the name: a writer that waited while another one renamed a new file over
// the name holds a lock on a dead inode, so it checks and tries again.
int openLocked(const std::string& path, struct stat* status) {
  while (true) {
    int fd = openRegularFile(path, O_RDWR | O_CREAT, 0640);
    if (fd < 0) return failWith(errno), -1;
    int locked;
    do {
      locked = ::flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
      int error = errno;
      ::close(fd);
      return failWith(error), -1;
    }
    struct stat named {};
    if (::fstat(fd, status) == 0 && ::stat(path.c_str(), &named) == 0 &&
        named.st_ino == status->st_ino && named.st_dev == status->st_dev) {
      return fd;
    }
    ::close(fd);
  }
}

bool replaceContent(const std::string& path, const std::string& content, mode_t mode) {
  // A new file of a name nobody can have made first: the folder may be one others may write
  // (a sticky one), and a name they made could lead the write anywhere.
  std::string temporary = path + ".XXXXXX";
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return failWith(errno);
  bool written = ::fchmod(fd, mode) == 0 && writeAll(fd, content.data(), content.size()) &&
                 (::fsync(fd) == 0 || failWith(errno));
  std::uint32_t error = lastError();
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    if (written) error = win32FromErrno(errno);
    ::unlink(temporary.c_str());
    setLastError(error);
    return false;
  }
  return syncParentDirectory(path);
}

class PosixRegistry : public Registry {
 public:
  std::string location() const override { return "the registry file " + registryPath(); }
  std::string file() const override { return registryPath(); }

  std::uint32_t queryValue(const std::string& key, const std::string& name,
                           RegistryValue* value) override {
    int fd = openRegularFile(registryPath(), O_RDONLY);
    if (fd < 0) return kErrorFileNotFound;
    std::string text;
    bool read = readAll(fd, &text);
    ::close(fd);
    if (!read) return kErrorFileNotFound;
    std::map<std::string, RegistryFile::Values> keys = RegistryFile::parse(text);
    const RegistryValue* found = RegistryFile::find(keys, kRoot + key, name);
    if (found == nullptr) return kErrorFileNotFound;
    *value = *found;
    return kErrorSuccess;
  }

  std::vector<std::string> damage() override {
    int fd = openRegularFile(registryPath(), O_RDONLY);
    if (fd < 0) return {};
    std::string text;
    bool read = readAll(fd, &text);
    ::close(fd);
    std::vector<RegistryFile::Damage> found;
    if (read) RegistryFile::parse(text, &found);
    std::vector<std::string> lines;
    for (const RegistryFile::Damage& damage : found) {
      lines.push_back("line " + std::to_string(damage.line) + ": " + damage.reason);
    }
    return lines;
  }

  std::uint32_t setString(const std::string& key, const std::string& name,
                          const std::string& value) override {
    if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
      return kErrorInvalidName;
    }
    return rewrite([&](const std::string& text) {
      return RegistryFile::withString(text, kRoot + key, name, value);
    });
  }

  std::uint32_t addMissingStrings(const std::string& exportText) override {
    bool anyValue = false;
    for (const auto& [key, values] : RegistryFile::parse(exportText)) anyValue |= !values.empty();
    if (!anyValue) return kErrorInvalidData;  // not an export: nothing could be read from it
    return rewrite([&](const std::string& text) {
      return RegistryFile::withMissingStrings(text, exportText);
    });
  }

 private:
  // Replaces the file's text with change(text), under the writers' lock.
  static std::uint32_t rewrite(const std::function<std::string(const std::string&)>& change) {
    // Through a link the administrator made, to the file it names: the link stays.
    std::string path = registryPath();
    if (char* target = ::realpath(path.c_str(), nullptr)) {
      path = target;
      std::free(target);
    }
    struct stat status {};
    int fd = openLocked(path, &status);
    if (fd < 0) return lastError();
    std::string text;
    bool done = readAll(fd, &text) && replaceContent(path, change(text), status.st_mode & 07777);
    std::uint32_t error = lastError();
    ::close(fd);  // releases the lock, after the new file carries the name
    return done ? kErrorSuccess : error;
  }
};

}  // namespace

Registry& systemRegistry() {
  // Never destroyed: a thread given up for dead may still use it as the process ends.
  static auto* registry = new PosixRegistry();
  return *registry;
}

}  // namespace Vantor::platform
