#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "platform/ErrorCodes.h"
#include "platform/SystemServices.h"
#include "platform/VersionInfo.h"
#include "platform/posix/DpkgDatabase.h"
#include "platform/posix/ElfPackageNote.h"
#include "platform/posix/PeVersionResource.h"
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

// The Windows language id of the user's locale: the first of LANGUAGE (where the locale is
// not "C"), else of LC_ALL, LC_MESSAGES or LANG; US English for "C", "POSIX" and unknown ones.
// A region the table does not know takes its language's default region.
std::uint16_t userLanguage() {
  static const std::uint16_t language = [] {
    static constexpr std::pair<std::string_view, std::uint16_t> kLocales[] = {
        {"ar", 0x0401},    {"bg", 0x0402},    {"ca", 0x0403},    {"zh", 0x0804},
        {"zh_TW", 0x0404}, {"zh_HK", 0x0c04}, {"zh_SG", 0x1004}, {"zh_MO", 0x1404},
        {"cs", 0x0405},    {"da", 0x0406},    {"de", 0x0407},    {"de_CH", 0x0807},
        {"de_AT", 0x0c07}, {"de_LU", 0x1007}, {"de_LI", 0x1407}, {"el", 0x0408},
        {"en", 0x0409},    {"en_GB", 0x0809}, {"en_AU", 0x0c09}, {"en_CA", 0x1009},
        {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1c09}, {"en_IN", 0x4009},
        {"es", 0x0c0a},    {"es_MX", 0x080a}, {"es_AR", 0x2c0a}, {"fi", 0x040b},
        {"fr", 0x040c},    {"fr_BE", 0x080c}, {"fr_CA", 0x0c0c}, {"fr_CH", 0x100c},
        {"fr_LU", 0x140c}, {"he", 0x040d},    {"hu", 0x040e},    {"is", 0x040f},
        {"it", 0x0410},    {"it_CH", 0x0810}, {"ja", 0x0411},    {"ko", 0x0412},
        {"nl", 0x0413},    {"nl_BE", 0x0813}, {"nb", 0x0414},    {"no", 0x0414},
        {"nn", 0x0814},    {"pl", 0x0415},    {"pt", 0x0816},    {"pt_BR", 0x0416},
        {"ro", 0x0418},    {"ru", 0x0419},    {"hr", 0x041a},    {"sr", 0x081a},
        {"sk", 0x041b},    {"sv", 0x041d},    {"sv_FI", 0x081d}, {"th", 0x041e},
        {"tr", 0x041f},    {"uk", 0x0422},    {"sl", 0x0424},    {"et", 0x0425},
        {"lv", 0x0426},    {"lt", 0x0427},    {"vi", 0x042a},    {"eu", 0x042d},
        {"hi", 0x0439},    {"ga", 0x083c}};
    auto lookup = [](std::string_view name) -> std::optional<std::uint16_t> {
      for (auto [locale, id] : kLocales) {
        if (name == locale) return id;
      }
      return std::nullopt;
    };
    std::string_view locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      const char* value = std::getenv(name);
      if (value != nullptr && *value != '\0') {
        locale = value;
        break;
      }
    }
    if (locale.empty() || locale == "C" || locale.starts_with("C.") || locale == "POSIX") {
      return kUsEnglish;
    }
    if (const char* preferred = std::getenv("LANGUAGE"); preferred != nullptr && *preferred) {
      std::string_view first(preferred);
      locale = first.substr(0, first.find(':'));
    }
    std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    std::string_view language = name.substr(0, name.find('_'));
    return lookup(name).value_or(lookup(language).value_or(kUsEnglish));
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
  UniqueFd located(
      static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how)));
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
