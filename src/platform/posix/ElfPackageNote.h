// The package note of an ELF file: a ".note.package" section whose note (owner "FDO", type
// 0xcafe1a7e) holds a JSON object naming the package ("name") and its "version". Any bytes
// are safe input.
#ifndef TARNWICK_PLATFORM_POSIX_ELFPACKAGENOTE_H_
#define TARNWICK_PLATFORM_POSIX_ELFPACKAGENOTE_H_

#include <map>
#include <string>
#include <string_view>

#include "platform/posix/ByteSource.h"

namespace Vantor::platform {

bool isElf(const ByteSource& file);
// The note's JSON text; false when the file has none.
bool readElfPackageNote(const ByteSource& file, std::string* json);
// The string members of a flat JSON object; other members are skipped. False when the text
// is not such an object.
bool parseJsonStrings(std::string_view json, std::map<std::string, std::string>* members);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_ELFPACKAGENOTE_H_
