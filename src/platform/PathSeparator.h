// The path separator that this platform writes; both '/' and '\' are read everywhere.
#ifndef TARNWICK_PLATFORM_PATHSEPARATOR_H_
#define TARNWICK_PLATFORM_PATHSEPARATOR_H_

namespace Vantor::platform {

extern const char kPathSeparator;

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PATHSEPARATOR_H_
