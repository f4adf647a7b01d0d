#include "platform/PerfDataBlock.h"

#include <limits>

#include "platform/LittleEndian.h"
namespace Vantor::platform {

namespace {

constexpr std::size_t kBlockHeader = 88;
constexpr std::size_t kObjectHeader = 64;
constexpr std::size_t kCounterDefinition = 40;
constexpr std::size_t kInstanceHeader = 24;
constexpr std::size_t kCounterBlockLength = 4;
constexpr std::int32_t kNoInstances = -1;
constexpr char16_t kSignature[] = u"PERF";

std::size_t aligned(std::size_t size) { return (size + 7) & ~std::size_t{7}; }

class Writer {
 public:
  std::size_t size() const { return bytes_.size(); }
  void u32(std::uint32_t value) { appendLittleEndian(bytes_, value, 4); }
  void i64(std::int64_t value) { appendLittleEndian(bytes_, static_cast<std::uint64_t>(value), 8); }
  void text(const std::u16string& text) {
    for (char16_t c : text) {
      bytes_.push_back(std::uint8_t(c));
      bytes_.push_back(std::uint8_t(c >> 8));
    }
  }
  void raw(const std::vector<std::uint8_t>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  void padTo(std::size_t size) { bytes_.resize(size, 0); }
  void putU32(std::size_t at, std::uint32_t value) { putLittleEndian(&bytes_[at], value, 4); }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// A name and its terminating NUL, padded to the next 8 bytes.
void writeName(Writer& out, const std::u16string& name) {
  std::size_t start = out.size();
  out.text(name);
  out.text(std::u16string(1, u'\0'));
  out.padTo(start + aligned(2 * (name.size() + 1)));
}

void writeCounterBlock(Writer& out, const std::vector<std::uint8_t>& counters) {
  std::size_t start = out.size();
  out.raw(counters);
  out.padTo(start + aligned(std::max(counters.size(), kCounterBlockLength)));
  out.putU32(start, static_cast<std::uint32_t>(out.size() - start));
}

void writeObject(Writer& out, const PerfObject& object) {
  std::size_t start = out.size();
  std::size_t definitionLength = kObjectHeader + kCounterDefinition * object.counters.size();
  out.u32(0);  // total length, below
  out.u32(static_cast<std::uint32_t>(definitionLength));
  out.u32(kObjectHeader);
  out.u32(object.titleIndex);
  out.u32(0);
  out.u32(object.titleIndex + 1);  // help title index
  out.u32(0);
  out.u32(100);  // detail level: novice
  out.u32(static_cast<std::uint32_t>(object.counters.size()));
  out.u32(0);  // default counter
  out.u32(object.hasInstances ? static_cast<std::uint32_t>(object.instances.size())
                              : static_cast<std::uint32_t>(kNoInstances));
  out.u32(0);  // code page: UTF-16 names
  out.i64(object.perfTime);
  out.i64(object.perfFreq);
  for (const PerfCounterDefinition& counter : object.counters) {
    out.u32(kCounterDefinition);
    out.u32(counter.titleIndex);
    out.u32(0);
    out.u32(counter.titleIndex + 1);
    out.u32(0);
    out.u32(0);    // default scale
    out.u32(100);  // detail level
    out.u32(counter.type);
    out.u32(counter.size);
    out.u32(counter.offset);
  }
  if (object.hasInstances) {
    for (const PerfInstance& instance : object.instances) {
      out.u32(
          static_cast<std::uint32_t>(kInstanceHeader + aligned(2 * (instance.name.size() + 1))));
      out.u32(0);
      out.u32(0);
      out.u32(static_cast<std::uint32_t>(kNoInstances));  // unique id: none, named instead
      out.u32(kInstanceHeader);
      out.u32(static_cast<std::uint32_t>(2 * (instance.name.size() + 1)));
      writeName(out, instance.name);
      writeCounterBlock(out, instance.counters);
    }
  } else {
    writeCounterBlock(out, object.ownCounters);
  }
  out.putU32(start, static_cast<std::uint32_t>(out.size() - start));
}

// Reads little-endian values of a range of the bytes, refusing any that lie past its end.
class Reader {
 public:
  Reader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  bool has(std::size_t at, std::size_t length) const { return at <= size_ && length <= size_ - at; }
  std::uint32_t u32(std::size_t at) const {
    return static_cast<std::uint32_t>(getLittleEndian(bytes_ + at, 4));
  }
  std::int64_t i64(std::size_t at) const {
    return static_cast<std::int64_t>(getLittleEndian(bytes_ + at, 8));
  }
  // A NUL-terminated or length-bounded UTF-16 text of length bytes at at.
  std::u16string text(std::size_t at, std::size_t length) const {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < length; i += 2) {
      char16_t c = static_cast<char16_t>(bytes_[at + i] | (bytes_[at + i + 1] << 8));
      if (c == u'\0') break;
      text.push_back(c);
    }
    return text;
  }
  std::vector<std::uint8_t> bytes(std::size_t at, std::size_t length) const {
    return std::vector<std::uint8_t>(bytes_ + at, bytes_ + at + length);
  }

 private:
  const std::uint8_t* bytes_;
  std::size_t size_;
};

bool counterFits(const PerfCounterDefinition& counter, std::size_t blockLength) {
  return counter.offset >= kCounterBlockLength && counter.offset <= blockLength &&
         counter.size <= blockLength - counter.offset;
}

// The counter block at at, within an object ending at end; its length on success.
std::optional<std::size_t> readCounterBlock(const Reader& in, std::size_t at, std::size_t end,
                                            std::vector<std::uint8_t>* counters) {
  if (!in.has(at, kCounterBlockLength) || at + kCounterBlockLength > end) return std::nullopt;
  std::size_t length = in.u32(at);
  if (length < kCounterBlockLength || length > end - at) return std::nullopt;
  *counters = in.bytes(at, length);
  return length;
}

std::optional<PerfObject> readObject(const Reader& in, std::size_t at, std::size_t end) {
  if (!in.has(at, kObjectHeader) || kObjectHeader > end - at) return std::nullopt;
  std::size_t total = in.u32(at);
  std::size_t definitionLength = in.u32(at + 4);
  std::size_t headerLength = in.u32(at + 8);
  std::size_t counterCount = in.u32(at + 32);
  auto instanceCount = static_cast<std::int32_t>(in.u32(at + 40));
  if (total > end - at || headerLength < kObjectHeader || definitionLength < headerLength ||
      definitionLength > total ||
      counterCount > (definitionLength - headerLength) / kCounterDefinition) {
    return std::nullopt;
  }
  PerfObject object;
  object.titleIndex = in.u32(at + 12);
  object.perfTime = in.i64(at + 48);
  object.perfFreq = in.i64(at + 56);
  std::size_t next = at + headerLength;
  for (std::size_t i = 0; i < counterCount; ++i) {
    if (kCounterDefinition > at + definitionLength - next) return std::nullopt;
    std::size_t length = in.u32(next);
    if (length < kCounterDefinition || length > at + definitionLength - next) return std::nullopt;
    object.counters.push_back(
        {in.u32(next + 4), in.u32(next + 28), in.u32(next + 32), in.u32(next + 36)});
    next += length;
  }
  std::size_t objectEnd = at + total;
  next = at + definitionLength;
  auto checkedBlock = [&](std::vector<std::uint8_t>* counters) {
    std::optional<std::size_t> length = readCounterBlock(in, next, objectEnd, counters);
    if (!length) return false;
    next += *length;
    for (const PerfCounterDefinition& counter : object.counters) {
      if (!counterFits(counter, counters->size())) return false;
    }
    return true;
  };
  if (instanceCount == kNoInstances) {
    object.hasInstances = false;
    return checkedBlock(&object.ownCounters) ? std::optional(std::move(object)) : std::nullopt;
  }
  // Each instance takes at least its header and a counter block.
  if (instanceCount < 0 || static_cast<std::size_t>(instanceCount) >
                               (objectEnd - next) / (kInstanceHeader + kCounterBlockLength)) {
    return std::nullopt;
  }
  for (std::int32_t i = 0; i < instanceCount; ++i) {
    if (kInstanceHeader > objectEnd - next) return std::nullopt;
    std::size_t length = in.u32(next);
    std::size_t nameOffset = in.u32(next + 16);
    std::size_t nameLength = in.u32(next + 20);
    if (length < kInstanceHeader || length > objectEnd - next || nameOffset > length ||
        nameLength > length - nameOffset) {
      return std::nullopt;
    }
    PerfInstance instance;
    instance.name = in.text(next + nameOffset, nameLength);
    next += length;
    if (!checkedBlock(&instance.counters)) return std::nullopt;
    object.instances.push_back(std::move(instance));
  }
  return object;
}

}  // namespace

std::vector<std::uint8_t> buildPerfDataBlock(const PerfData& data) {
  Writer out;
  out.text(kSignature);
  out.u32(1);  // little-endian
  out.u32(1);  // version
  out.u32(1);  // revision
  out.u32(0);  // total length, below
  out.u32(0);  // header length, below
  out.u32(static_cast<std::uint32_t>(data.objects.size()));
  out.u32(0);     // default object
  out.padTo(56);  // the system time (16 bytes) and the padding before the 64-bit times
  out.i64(data.perfTime);
  out.i64(data.perfFreq);
  out.i64(data.perfTime100nSec);
  out.u32(static_cast<std::uint32_t>(2 * (data.systemName.size() + 1)));
  out.u32(kBlockHeader);
  writeName(out, data.systemName);
  out.putU32(24, static_cast<std::uint32_t>(out.size()));
  for (const PerfObject& object : data.objects) writeObject(out, object);
  out.putU32(20, static_cast<std::uint32_t>(out.size()));
  return out.take();
}

std::optional<PerfData> parsePerfDataBlock(const std::uint8_t* bytes, std::size_t size) {
  Reader in(bytes, size);
  if (!in.has(0, kBlockHeader) || in.text(0, 8) != kSignature || in.u32(8) != 1) {
    return std::nullopt;
  }
  std::size_t total = in.u32(20);
  std::size_t headerLength = in.u32(24);
  std::size_t objectCount = in.u32(28);
  if (total > size || headerLength < kBlockHeader || headerLength > total ||
      objectCount > (total - headerLength) / kObjectHeader) {
    return std::nullopt;
  }
  PerfData data;
  data.perfTime = in.i64(56);
  data.perfFreq = in.i64(64);
  data.perfTime100nSec = in.i64(72);
  std::size_t nameLength = in.u32(80);
  std::size_t nameOffset = in.u32(84);
  if (nameOffset <= total && nameLength <= total - nameOffset) {
    data.systemName = in.text(nameOffset, nameLength);
  }
  std::size_t next = headerLength;
  for (std::size_t i = 0; i < objectCount; ++i) {
    std::optional<PerfObject> object = readObject(in, next, total);
    if (!object) return std::nullopt;
    next += in.u32(next);
    data.objects.push_back(std::move(*object));
  }
  return data;
}

std::optional<std::uint64_t> rawCounterValue(const std::vector<std::uint8_t>& counters,
                                             const PerfCounterDefinition& definition) {
  if (!counterFits(definition, counters.size())) return std::nullopt;
  Reader in(counters.data(), counters.size());
  if (definition.size == 4) return in.u32(definition.offset);
  if (definition.size == 8) return static_cast<std::uint64_t>(in.i64(definition.offset));
  return std::nullopt;
}

}  // namespace Vantor::platform
