// A file of bytes through the platform's buffered stream; no line-end translation.
#ifndef TARNWICK_FOUNDATION_FILEPLAIN_H_
#define TARNWICK_FOUNDATION_FILEPLAIN_H_

#include <memory>

#include "foundation/FileBase.h"
#include "platform/FileSystem.h"

namespace Vantor {

class FilePlain : public FileBase {
 public:
  FilePlain(platform::Env& env, std::string path) : FileBase(env, std::move(path)) {}
  ~FilePlain() override;

 protected:
  void checkAccess(std::uint32_t flags) override;
  void openStream(const std::string& name, std::uint32_t flags) override;
  bool closeStream() override;
  std::size_t readBytes(void* buffer, std::size_t count) override;
  std::size_t readLineBytes(std::string* line) override;
  bool writeBytes(const void* buffer, std::size_t count) override;
  bool flushStream() override;
  void seekStream(std::int64_t offset, Origin origin) override;
  std::uint64_t tellStream() override;
  bool atEnd() override;
  bool streamFailed() override;
  std::int64_t streamErrorNumber() override;

 private:
  std::unique_ptr<platform::FileStream> stream_;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_FILEPLAIN_H_
