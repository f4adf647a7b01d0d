#include "foundation/FileFactory.h"

#include "foundation/FileGZ.h"
#include "foundation/FilePlain.h"
#include "foundation/FileUtils.h"

namespace Vantor::FileFactory {

std::shared_ptr<FileBase> create(platform::Env& env, const std::string& path) {
  if (FileUtils::extension(path) == "gz") return std::make_shared<FileGZ>(env, path);
  return std::make_shared<FilePlain>(env, path);
}

}  // namespace Vantor::FileFactory
