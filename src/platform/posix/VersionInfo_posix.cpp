#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ElfPackageNote.h"
#include "platform/ErrorCodes.h"
#include "platform/PeVersionResource.h"
#include "platform/VersionInfo.h"
#include "platform/posix/DpkgDatabase.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

class FileSource : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) size_ = static_cast<std::uint64_t>(info.st_size);
  }
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::size_t length, std::string* out) const override {
    if (offset > size_ || length > size_ - offset) return false;
    out->resize(length);
    std::size_t done = 0;
    while (done < length) {
      ssize_t got = ::pread(fd_, out->data() + done, length - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

// The file's own information: a PE version resource, or an ELF package note.
bool readEmbedded(const ByteSource& file, VersionInfo* info) {
  if (isPortableExecutable(file)) return readPeVersionResource(file, info);
  std::string json;
  std::map<std::string, std::string> members;
  if (!isElf(file) || !readElfPackageNote(file, &json) || !parseJsonStrings(json, &members)) {
    return false;
  }
  auto name = members.find("name");
  if (name == members.end() || name->second.empty()) return false;
  std::map<std::string, std::string> strings{{"ProductName", name->second}};
  if (auto version = members.find("version"); version != members.end()) {
    strings.emplace("FileVersion", version->second);
  }
  *info = VersionInfo::ofStrings(std::move(strings));
  return true;
}

}  // namespace

bool readVersionInfo(const std::string& path, VersionInfo* info) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return failWith(errno);
  bool found = readEmbedded(FileSource(fd), info);
  ::close(fd);
  if (found) return true;
  OwningPackage package;
  if (findOwningPackage(path, &package)) {
    std::map<std::string, std::string> strings{{"ProductName", package.name}};
    if (!package.version.empty()) strings.emplace("FileVersion", package.version);
    *info = VersionInfo::ofStrings(std::move(strings));
    return true;
  }
  setLastError(kErrorResourceTypeNotFound);
  return false;
}

}  // namespace Vantor::platform
