// Random access to the bytes of a file or a buffer, for parsers of binary formats that read
// a few headers out of files too large to load whole.
#ifndef TARNWICK_PLATFORM_POSIX_BYTESOURCE_H_
#define TARNWICK_PLATFORM_POSIX_BYTESOURCE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace Vantor::platform {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Exactly length bytes at offset into out; false when they are not all there.
  virtual bool read(std::uint64_t offset, std::size_t length, std::string* out) const = 0;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool read(std::uint64_t offset, std::size_t length, std::string* out) const override {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    out->assign(bytes_.substr(offset, length));
    return true;
  }

 private:
  std::string_view bytes_;
};

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_BYTESOURCE_H_
