#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "platform/ElfPackageNote.h"
#include "platform/ErrorCodes.h"
#include "platform/PeVersionResource.h"
#include "platform/VersionInfo.h"
#include "platform/posix/DpkgDatabase.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/PosixIo.h"

namespace Vantor::platform {

namespace {

class FileSource : public ByteSource {
 public:
  explicit FileSource(int fd) : fd_(fd) {
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
      size_ = static_cast<std::uint64_t>(info.st_size);
  }
  std::uint64_t size() const override { return size_; }
  bool read(std::uint64_t offset, std::size_t length, std::string* out) const override {
    if (offset > size_ || length > size_ - offset) return false;
    out->resize(length);
    std::size_t done = 0;
    while (done < length) {
      ssize_t got =
          ::pread(fd_, out->data() + done, length - done, static_cast<off_t>(offset + done));
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

constexpr std::uint16_t kUsEnglish = 0x0409;

// The Windows language id of the user's locale (LC_ALL, LC_MESSAGES, LANG): the primary
// language with its default sublanguage; US English for "C", "POSIX" and unknown ones.
std::uint16_t userLanguage() {
  static const std::uint16_t language = [] {
    static constexpr std::pair<std::string_view, std::uint16_t> kLanguages[] = {
        {"ar", 0x0401}, {"bg", 0x0402}, {"ca", 0x0403}, {"zh", 0x0804}, {"cs", 0x0405},
        {"da", 0x0406}, {"de", 0x0407}, {"el", 0x0408}, {"en", 0x0409}, {"es", 0x0c0a},
        {"fi", 0x040b}, {"fr", 0x040c}, {"he", 0x040d}, {"hu", 0x040e}, {"is", 0x040f},
        {"it", 0x0410}, {"ja", 0x0411}, {"ko", 0x0412}, {"nl", 0x0413}, {"nb", 0x0414},
        {"no", 0x0414}, {"pl", 0x0415}, {"pt", 0x0416}, {"ro", 0x0418}, {"ru", 0x0419},
        {"hr", 0x041a}, {"sk", 0x041b}, {"sv", 0x041d}, {"th", 0x041e}, {"tr", 0x041f},
        {"uk", 0x0422}, {"sl", 0x0424}, {"et", 0x0425}, {"lv", 0x0426}, {"lt", 0x0427},
        {"vi", 0x042a}, {"eu", 0x042d}, {"hi", 0x0439}, {"ga", 0x083c}};
    std::string_view locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') {
        locale = value;
        break;
      }
    }
    std::string_view code = locale.substr(0, locale.find_first_of("_.@"));
    for (auto [name, id] : kLanguages) {
      if (code == name) return id;
    }
    return kUsEnglish;
  }();
  return language;
}

// The regular file at path, open for reading. The path names whatever its owner put there
// since (a link into a folder no one else may read, a device, a FIFO): the file is found
// without following any link and without opening it, and only a regular file is then opened,
// through what was found, never through the path again.
UniqueFd openRegularFile(const std::string& path) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC | O_NOFOLLOW;
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  UniqueFd located(static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
  if (!located.valid() && errno == ENOSYS) {
    located.reset(::open(path.c_str(), O_PATH | O_CLOEXEC | O_NOFOLLOW));  // older kernels
  }
  if (!located.valid()) {
    failWith(errno);
    return located;
  }
  struct stat status {};
  if (::fstat(located.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    setLastError(kErrorResourceTypeNotFound);
    return UniqueFd();
  }
  std::string self = "/proc/self/fd/" + std::to_string(located.get());
  UniqueFd fd(::open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd.valid()) failWith(errno);
  return fd;
}

// The ELF package note of the file.
bool readElfNote(const ByteSource& file, VersionInfo* info) {
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
  UniqueFd fd = openRegularFile(path);
  if (!fd.valid()) return false;
  FileSource file(fd.get());
  if (isPortableExecutable(file)) {
    // A Windows file carries its own information or none; a package that ships it names
    // the package, not the program.
    if (readPeVersionResource(file, userLanguage(), info)) return true;
    setLastError(kErrorResourceTypeNotFound);
    return false;
  }
  if (readElfNote(file, info)) return true;
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
