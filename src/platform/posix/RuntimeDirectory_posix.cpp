#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/RuntimeDirectory.h"
#include "platform/posix/PosixError.h"

namespace Vantor::platform {

namespace {

std::string baseDirectory() {
  if (const char* set = std::getenv("VANTOR_RUNTIME_DIR"); set != nullptr && *set != '\0') {
    return set;
  }
  if (::geteuid() == 0) return "/run/vantor";
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0') {
    return std::string(xdg) + "/vantor";
  }
  return "/tmp/vantor-" + std::to_string(::geteuid());
}

bool ensureDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) {
    ::chmod(path.c_str(), 0755);  // whatever the umask took away
    return true;
  }
  struct stat status {};
  if (errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    return true;
  }
  return failWith(errno == EEXIST ? ENOTDIR : errno);
}

}  // namespace

std::optional<std::string> runtimeDirectory(const std::string& subfolder) {
  std::string base = baseDirectory();
  if (!ensureDirectory(base)) return std::nullopt;
  // All sub-folders at once: whoever makes the directory makes them, so a user who may not
  // create anything here still finds them.
  for (const char* standard : {"mailslot", "mutex", "event", "device"}) {
    ensureDirectory(base + "/" + standard);
  }
  std::string path = base + "/" + subfolder;
  if (!ensureDirectory(path)) return std::nullopt;
  return path + "/";
}

}  // namespace Vantor::platform
