// A gzip-compressed file through zlib. Reads and writes see the uncompressed bytes. A gzip
// stream is written in one go: it cannot be opened for reading and writing, seek backwards
// while writing, or seek from the end; appending rewrites the old content into a new stream.
#ifndef TARNWICK_FOUNDATION_FILEGZ_H_
#define TARNWICK_FOUNDATION_FILEGZ_H_

#include <zlib.h>

#include "foundation/FileBase.h"

namespace Vantor {

class FileGZ : public FileBase {
 public:
  // readLine delivers a longer line in pieces of at most this many bytes.
  static constexpr int kLineBufferSize = 8192;

  FileGZ(platform::Env& env, std::string path) : FileBase(env, std::move(path)) {}
  ~FileGZ() override;

 protected:
  void checkAccess(std::uint32_t flags) override;
  void openStream(const std::string& name, std::uint32_t flags) override;
  bool closeStream() override;
  std::size_t readBytes(void* buffer, std::size_t count) override;
  std::size_t readLineBytes(std::string* line) override;
  bool writeBytes(const void* buffer, std::size_t count) override;
  bool flushStream() override { return true; }  // flushing would cost compression
  void seekStream(std::int64_t offset, Origin origin) override;
  std::uint64_t tellStream() override;
  bool atEnd() override;
  bool streamFailed() override;
  std::int64_t streamErrorNumber() override;
  std::string renameFailureDetail() const override;

 private:
  void appendOldContent(const std::string& name);

  gzFile gz_ = nullptr;
};

}  // namespace Vantor

#endif  // TARNWICK_FOUNDATION_FILEGZ_H_
