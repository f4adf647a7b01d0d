// Path conventions of this platform: the separator it writes (both '/' and '\' are read
// everywhere), and whether its file names ignore case.
#ifndef TARNWICK_PLATFORM_PATHSEPARATOR_H_
#define TARNWICK_PLATFORM_PATHSEPARATOR_H_

namespace Vantor::platform {

extern const char kPathSeparator;
extern const bool kFileNamesIgnoreCase;

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_PATHSEPARATOR_H_
