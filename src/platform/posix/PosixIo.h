// Descriptor-level helpers shared by the POSIX implementation files. EINTR is retried here.
#ifndef TARNWICK_PLATFORM_POSIX_POSIXIO_H_
#define TARNWICK_PLATFORM_POSIX_POSIXIO_H_

#include <string>

namespace Vantor::platform {

// Each returns false with lastError() set on failure.
bool readAll(int fd, std::string* content);
bool writeAll(int fd, const char* data, std::size_t size);
bool copyAll(int from, int to);
// Makes a rename or creation in path's directory durable.
bool syncParentDirectory(const std::string& path);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_POSIXIO_H_
