#include "foundation/FilePlain.h"

#include "foundation/FileException.h"
#include "platform/Env.h"

namespace Vantor {

namespace {

platform::StreamMode streamMode(std::uint32_t flags) {
  bool reading = flags & FileBase::ACCESS_READ;
  bool writing = flags & FileBase::ACCESS_WRITE;
  bool append = flags & FileBase::ACCESS_APPEND;
  if (!writing) return platform::StreamMode::kRead;
  if (!reading) return append ? platform::StreamMode::kAppend : platform::StreamMode::kWrite;
  if (append) return platform::StreamMode::kUpdateAppend;
  return (flags & FileBase::ACCESS_TRUNCATE) ? platform::StreamMode::kUpdateTruncate
                                             : platform::StreamMode::kUpdate;
}

}  // namespace

FilePlain::~FilePlain() { abortIfOpen(); }

void FilePlain::checkAccess(std::uint32_t flags) {
  if (!(flags & (ACCESS_READ | ACCESS_WRITE))) {
    throw FileException(FileException::FL_ACCESS_COMB, getPath(), __FILE__, __LINE__);
  }
}

void FilePlain::openStream(const std::string& name, std::uint32_t flags) {
  stream_ = std::move(env().fileSystem().openStream(name, streamMode(flags)).value());
  if (!stream_) throw FileException(FileException::FL_CANNOT_OPEN, name, __FILE__, __LINE__);
  if ((flags & ACCESS_APPEND) && !stream_->seek(0, platform::SeekOrigin::kEnd)) {
    stream_.reset();
    throw FileException(FileException::FL_CANNOT_OPEN, name, __FILE__, __LINE__);
  }
}

bool FilePlain::closeStream() {
  if (!stream_) return true;
  bool closed = stream_->close();
  stream_.reset();
  return closed;
}

std::size_t FilePlain::readBytes(void* buffer, std::size_t count) {
  return stream_->read(buffer, count);
}

std::size_t FilePlain::readLineBytes(std::string* line) {
  std::size_t consumed = 0;
  char c;
  while (stream_->read(&c, 1) == 1) {
    ++consumed;
    if (c == '\n') break;
    line->push_back(c);
  }
  return consumed;
}

bool FilePlain::writeBytes(const void* buffer, std::size_t count) {
  return stream_->write(buffer, count);
}

bool FilePlain::flushStream() { return stream_->flush(); }

void FilePlain::seekStream(std::int64_t offset, Origin origin) {
  if (!stream_->seek(offset, static_cast<platform::SeekOrigin>(origin))) {
    throw FileException(FileException::FL_POSITION, getPath(), __FILE__, __LINE__);
  }
}

std::uint64_t FilePlain::tellStream() {
  std::int64_t position = stream_->tell();
  if (position < 0) throw FileException(FileException::FL_POSITION, getPath(), __FILE__, __LINE__);
  return static_cast<std::uint64_t>(position);
}

bool FilePlain::atEnd() { return stream_->atEnd(); }

bool FilePlain::streamFailed() { return stream_->error(); }

std::int64_t FilePlain::streamErrorNumber() { return stream_->errorNumber(); }

}  // namespace Vantor
