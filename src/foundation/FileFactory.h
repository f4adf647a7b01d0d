// Picks the file kind by name: exactly "gz" after the last '.' gives a gzip file.
#ifndef TARNWICK_FOUNDATION_FILEFACTORY_H_
#define TARNWICK_FOUNDATION_FILEFACTORY_H_

#include <memory>
#include <string>

#include "foundation/FileBase.h"

namespace Vantor::FileFactory {

// The file is not opened. The comparison is case-sensitive: "x.GZ" is a plain file.
std::shared_ptr<FileBase> create(platform::Env& env, const std::string& path);

}  // namespace Vantor::FileFactory

#endif  // TARNWICK_FOUNDATION_FILEFACTORY_H_
