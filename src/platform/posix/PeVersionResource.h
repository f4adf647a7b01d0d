// The version resource of a Portable Executable file (RT_VERSION, the VS_VERSIONINFO block),
// read straight from the file's resource section. Any bytes are safe input: a malformed file
// reads as one without version information.
#ifndef TARNWICK_PLATFORM_POSIX_PEVERSIONRESOURCE_H_
#define TARNWICK_PLATFORM_POSIX_PEVERSIONRESOURCE_H_

#include "platform/posix/ByteSource.h"
#include "platform/VersionInfo.h"

namespace Vantor::platform {

bool isPortableExecutable(const ByteSource& file);
// False when the file has no readable version resource. Of the resource's languages the one
// Windows' own lookup takes wins: language-neutral, then userLanguage, then the same language
// of another region, then US English, then the first. Text is UTF-8.
bool readPeVersionResource(const ByteSource& file, std::uint16_t userLanguage, VersionInfo* info);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_PEVERSIONRESOURCE_H_
