#include "foundation/FileFactory.h"

#include "foundation/FileGZ.h"
#include "foundation/FilePlain.h"
#include "foundation/FileUtils.h"

namespace Vantor::FileFactory {

std::shared_ptr<FileBase> create(const std::string& path) {
  if (FileUtils::extension(path) == "gz") return std::make_shared<FileGZ>(path);
  return std::make_shared<FilePlain>(path);
}

}  // namespace Vantor::FileFactory
