#include "foundation/FileGZ.h"

#include <climits>

#include "foundation/FileException.h"
#include "foundation/FileOps.h"
#include "platform/Env.h"
#include "platform/FileSystem.h"

namespace Vantor {

namespace {

constexpr unsigned kCopyPiece = 1024;

// Copies the uncompressed content of the gzip file from into the open stream to.
bool copyUncompressed(const std::string& from, gzFile to) {
  gzFile source = gzopen(from.c_str(), "rbe");
  if (source == nullptr) return false;
  char buffer[kCopyPiece];
  int got;
  bool copied = true;
  while ((got = gzread(source, buffer, kCopyPiece)) > 0) {
    if (gzwrite(to, buffer, static_cast<unsigned>(got)) != got) {
      copied = false;
      break;
    }
  }
  if (got < 0) copied = false;
  gzclose(source);
  return copied;
}

// zlib creates with the umask's mode: the file is made first, with the mode every file of the
// agent gets, and zlib then empties it.
gzFile openForWriting(platform::Env& env, const std::string& name) {
  if (!env.fileSystem().openStream(name, platform::StreamMode::kWrite)) return nullptr;
  return gzopen(name.c_str(), "wbe");
}

}  // namespace

FileGZ::~FileGZ() { abortIfOpen(); }

void FileGZ::checkAccess(std::uint32_t flags) {
  if ((flags & ACCESS_READ) && (flags & ACCESS_WRITE)) {
    throw FileException(FileException::FL_ACCESS_COMB,
                        "Cannot open gzip file: " + getPath() + "\tfor both reading and writing.",
                        __FILE__, __LINE__);
  }
  if (!(flags & (ACCESS_READ | ACCESS_WRITE))) {
    throw FileException(FileException::FL_ACCESS_COMB,
                        "Only ACCESS_READ or ACCESS_WRITE or ACCESS_WRITE + ACCESS_UNSAFE "
                        "allowed for gzip file: " +
                            getPath(),
                        __FILE__, __LINE__);
  }
}

void FileGZ::openStream(const std::string& name, std::uint32_t flags) {
  bool writing = flags & ACCESS_WRITE;
  if (writing && (flags & ACCESS_APPEND) && FileOps::exists(env(), name)) {
    appendOldContent(name);
    return;
  }
  gz_ = writing ? openForWriting(env(), name) : gzopen(name.c_str(), "rbe");
  if (gz_ == nullptr) {
    throw FileException(FileException::FL_CANNOT_OPEN, "Cannot open gzip file: " + name, __FILE__,
                        __LINE__);
  }
}

// A gzip stream cannot be appended to: the old file steps aside as ".orig.copy", a new stream
// starts with its content, and the side copy goes.
void FileGZ::appendOldContent(const std::string& name) {
  std::string original = name + ".orig.copy";
  if (!FileOps::move(env(), name, original, true)) {
    throw FileException(FileException::FL_CANNOT_OPEN, "Cannot open gzip file: " + name, __FILE__,
                        __LINE__);
  }
  gz_ = openForWriting(env(), name);
  if (gz_ == nullptr || !copyUncompressed(original, gz_)) {
    if (gz_ != nullptr) gzclose(gz_);
    gz_ = nullptr;
    FileOps::move(env(), original, name, true);
    throw FileException(FileException::FL_CANNOT_OPEN, "Cannot open gzip file: " + name, __FILE__,
                        __LINE__);
  }
  if (!FileOps::remove(env(), original, true)) {
    gzclose(gz_);
    gz_ = nullptr;
    throw FileException(FileException::FL_REMOVE, original, __FILE__, __LINE__);
  }
}

bool FileGZ::closeStream() {
  if (gz_ == nullptr) return true;
  int result = gzclose(gz_);
  gz_ = nullptr;
  return result == Z_OK;
}

std::size_t FileGZ::readBytes(void* buffer, std::size_t count) {
  std::size_t total = 0;
  char* bytes = static_cast<char*>(buffer);
  while (total < count) {
    unsigned piece = static_cast<unsigned>(std::min<std::size_t>(count - total, INT_MAX));
    int got = gzread(gz_, bytes + total, piece);
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

std::size_t FileGZ::readLineBytes(std::string* line) {
  // Byte by byte (zlib buffers them): a NUL inside a line is kept, and one at its start is no
  // end of the file, as it would be for a C string.
  std::string piece;
  std::size_t consumed = 0;
  while (consumed + 1 < kLineBufferSize) {
    int c = gzgetc(gz_);
    if (c == -1) break;
    ++consumed;
    if (c == '\n') break;
    piece.push_back(static_cast<char>(c));
  }
  *line = std::move(piece);
  return consumed;
}

bool FileGZ::writeBytes(const void* buffer, std::size_t count) {
  const char* bytes = static_cast<const char*>(buffer);
  for (std::size_t done = 0; done < count;) {
    unsigned piece = static_cast<unsigned>(std::min<std::size_t>(count - done, INT_MAX));
    int put = gzwrite(gz_, bytes + done, piece);
    if (put <= 0) return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

void FileGZ::seekStream(std::int64_t offset, Origin origin) {
  if (origin == OFFSET_END) {
    throw FileException(FileException::FL_ERROR, "FileGZ does not support OFFSET_END.", __FILE__,
                        __LINE__);
  }
  std::int64_t target =
      origin == OFFSET_BEGIN ? offset : static_cast<std::int64_t>(position()) + offset;
  if ((accessFlags() & ACCESS_WRITE) && target < static_cast<std::int64_t>(position())) {
    throw FileException(FileException::FL_ERROR,
                        "FileGZ does not support negative seek for FILE_WRITE.", __FILE__,
                        __LINE__);
  }
  if (target < 0 || gzseek(gz_, static_cast<z_off_t>(target), SEEK_SET) < 0) {
    throw FileException(FileException::FL_POSITION, getPath(), __FILE__, __LINE__);
  }
}

std::uint64_t FileGZ::tellStream() {
  z_off_t position = gztell(gz_);
  if (position < 0) throw FileException(FileException::FL_POSITION, getPath(), __FILE__, __LINE__);
  return static_cast<std::uint64_t>(position);
}

bool FileGZ::atEnd() {
  if (accessFlags() & ACCESS_WRITE) return true;  // a new stream: always at its end
  int c = gzgetc(gz_);
  if (c < 0) return true;
  gzungetc(c, gz_);
  return false;
}

bool FileGZ::streamFailed() {
  int error = Z_OK;
  gzerror(gz_, &error);
  return error != Z_OK && error != Z_BUF_ERROR;
}

std::int64_t FileGZ::streamErrorNumber() {
  int error = Z_OK;
  gzerror(gz_, &error);
  return error;
}

std::string FileGZ::renameFailureDetail() const {
  return "Failed to update the file: " + getPath();
}

}  // namespace Vantor
