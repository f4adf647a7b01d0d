// Debian's package database: which installed package owns a file, and its version. Read
// from /var/lib/dpkg once and again whenever it changes. Safe for concurrent use.
#ifndef TARNWICK_PLATFORM_POSIX_DPKGDATABASE_H_
#define TARNWICK_PLATFORM_POSIX_DPKGDATABASE_H_

#include <string>

namespace Vantor::platform {

struct OwningPackage {
  std::string name;
  std::string version;
};

// False when no installed package lists the file.
bool findOwningPackage(const std::string& path, OwningPackage* package);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_DPKGDATABASE_H_
