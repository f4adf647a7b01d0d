#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/SystemServices.h"
#include "platform/posix/PosixError.h"
#include "platform/posix/RuntimeDirectory.h"

namespace Vantor::platform {

namespace {

thread_local std::string refusal;

// The directory, and whether it was chosen by the one who runs the program.
std::pair<std::string, bool> baseDirectory() {
  if (const char* set = std::getenv("VANTOR_RUNTIME_DIR"); set != nullptr && *set != '\0') {
    return {set, true};
  }
  if (::geteuid() == 0) return {"/run/vantor", false};
  if (const char* xdg = std::getenv("XDG_RUNTIME_DIR"); xdg != nullptr && *xdg != '\0') {
    return {std::string(xdg) + "/vantor", false};
  }
  return {"/tmp/vantor-" + std::to_string(::geteuid()), false};
}

// Whoever controls the directory controls the mailslots and mutexes in it: one found in a
// shared place must be this user's own, a real directory, and closed to other writers.
bool isOwnDirectory(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return failWith(errno);
  std::string problem;
  if (S_ISLNK(status.st_mode)) {
    problem = "is a symbolic link";
  } else if (!S_ISDIR(status.st_mode)) {
    problem = "is not a directory";
  } else if (status.st_uid != ::geteuid()) {
    problem = "belongs to user " + std::to_string(status.st_uid);
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    problem = "may be written by other users";
  } else {
    return true;
  }
  refusal = "The runtime directory " + path + " " + problem +
            "; another user may have made it. Remove it, or name a safe one in "
            "VANTOR_RUNTIME_DIR.";
  return failWith(EACCES);
}

bool ensureDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) {
    // Whatever the umask took away; never through a link put in its place.
    ::fchmodat(AT_FDCWD, path.c_str(), 0755, AT_SYMLINK_NOFOLLOW);
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
  refusal.clear();
  auto [base, chosen] = baseDirectory();
  if (!ensureDirectory(base)) return std::nullopt;
  if (!chosen && !isOwnDirectory(base)) return std::nullopt;
  // All sub-folders at once: whoever makes the directory makes them, so a user who may not
  // create anything here still finds them.
  for (const char* standard : {"mailslot", "mutex", "event", "device"}) {
    ensureDirectory(base + "/" + standard);
  }
  std::string path = base + "/" + subfolder;
  if (!ensureDirectory(path)) return std::nullopt;
  return path + "/";
}

std::string namedObjectsRefusal() { return refusal; }

std::string namedObjectsFolder() { return baseDirectory().first; }

}  // namespace Vantor::platform
