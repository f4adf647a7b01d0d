// Path text helpers. Pure functions: nothing here touches the file system. Both '\' and '/'
// are read as separators; the platform's own separator is the one written.
#ifndef TARNWICK_FOUNDATION_FILEUTILS_H_
#define TARNWICK_FOUNDATION_FILEUTILS_H_

#include <string>
#include <string_view>

namespace Vantor::FileUtils {

bool isSeparator(char c);
// A full path: from the root or a drive's root. Anything else (a marker such as "<<lost>>")
// would be looked up in the current folder.
bool isAbsolute(std::string_view path);
// Up to and including the last separator; empty when there is none.
std::string dirName(std::string_view path);
// After the last separator.
std::string baseName(std::string_view path);
// After the last '.' of the base name; empty when it has none.
std::string extension(std::string_view path);
// Without the last '.' of the base name and what follows it.
std::string removeExtension(std::string_view path);
// From the second character on, every separator becomes the platform's own and a separator
// right after another one goes (the first character is never touched, so the two
// separators that start a network path stay).
std::string normaliseSeparators(std::string_view path);
// Appends the platform's separator unless the path already ends in one.
std::string ensureTrailingSeparator(std::string_view path);
// Drops trailing separators, but never shortens the path below one separator.
std::string stripTrailingSeparators(std::string_view path);
// False when the name holds a wildcard or ends in a separator.
bool isPlainFileName(std::string_view name);
// The path in lower case where file names ignore case, else unchanged: the form under which
// executables and modules are compared and written.
std::string foldCase(std::string_view path);

}  // namespace Vantor::FileUtils

#endif  // TARNWICK_FOUNDATION_FILEUTILS_H_
