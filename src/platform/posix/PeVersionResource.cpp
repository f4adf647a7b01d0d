#include "platform/posix/PeVersionResource.h"

#include "platform/Utf16.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace Vantor::platform {

namespace {

constexpr std::uint32_t kVersionResourceType = 16;  // RT_VERSION
constexpr std::uint16_t kUsEnglish = 0x0409;
constexpr std::uint32_t kResourceDirectoryIndex = 2;  // in the optional header's table
constexpr std::size_t kMaxVersionResource = 1 << 20;  // real ones are a few KiB
constexpr std::size_t kMaxSections = 96;              // the format's own limit
constexpr std::uint32_t kVersionResourceName = 1;     // VS_VERSION_INFO
constexpr std::uint32_t kSubdirectoryBit = 0x80000000u;
constexpr std::uint16_t kLanguageNeutral = 0;
constexpr std::uint32_t kPrimaryLanguageMask = 0x3ff;

std::uint16_t u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

std::uint32_t u32(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint32_t>(u16(bytes, at)) | static_cast<std::uint32_t>(u16(bytes, at + 2))
                                                          << 16;
}

struct Section {
  std::uint32_t virtualAddress;
  std::uint32_t virtualSize;
  std::uint32_t rawSize;
  std::uint32_t rawOffset;
};

class PeImage {
 public:
  explicit PeImage(const ByteSource& file) : file_(file) {}

  bool readHeaders() {
    std::string dos;
    if (!file_.read(0, 64, &dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    std::uint32_t peOffset = u32(dos, 0x3c);
    std::string coff;
    if (!file_.read(peOffset, 24, &coff) || coff.compare(0, 4, std::string("PE\0\0", 4)) != 0) {
      return false;
    }
    std::uint16_t sectionCount = u16(coff, 6);
    std::uint16_t optionalSize = u16(coff, 20);
    if (sectionCount > kMaxSections) return false;
    std::string optional;
    std::uint64_t optionalOffset = std::uint64_t{peOffset} + 24;
    if (!file_.read(optionalOffset, optionalSize, &optional) || optional.size() < 2) return false;
    std::size_t directories;
    std::size_t countAt;
    switch (u16(optional, 0)) {
      case 0x10b:  // PE32
        countAt = 92;
        directories = 96;
        break;
      case 0x20b:  // PE32+
        countAt = 108;
        directories = 112;
        break;
      default:
        return false;
    }
    if (optional.size() < countAt + 4 || u32(optional, countAt) <= kResourceDirectoryIndex ||
        optional.size() < directories + 8 * (kResourceDirectoryIndex + 1)) {
      return false;
    }
    resourceRva_ = u32(optional, directories + 8 * kResourceDirectoryIndex);
    std::string table;
    if (!file_.read(optionalOffset + optionalSize, std::size_t{40} * sectionCount, &table)) {
      return false;
    }
    for (std::size_t i = 0; i < sectionCount; ++i) {
      std::size_t at = i * 40;
      sections_.push_back(
          {u32(table, at + 12), u32(table, at + 8), u32(table, at + 16), u32(table, at + 20)});
    }
    return resourceRva_ != 0;
  }

  // Reads length bytes at a relative virtual address, within one section's file data.
  bool readRva(std::uint32_t rva, std::size_t length, std::string* out) const {
    for (const Section& section : sections_) {
      std::uint64_t start = section.virtualAddress;
      std::uint64_t extent = std::max(section.virtualSize, section.rawSize);
      if (rva < start || rva >= start + extent) continue;
      std::uint64_t inSection = rva - start;
      if (inSection + length > section.rawSize) return false;
      return file_.read(section.rawOffset + inSection, length, out);
    }
    return false;
  }

  // The entries of a resource directory: (id or name, offset with its subdirectory bit).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> entries(std::uint32_t directory) const {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> found;
    std::string header;
    if (!readRva(resourceRva_ + directory, 16, &header)) return found;
    std::size_t count = std::size_t{u16(header, 12)} + u16(header, 14);
    std::string table;
    if (!readRva(resourceRva_ + directory + 16, 8 * count, &table)) return found;
    for (std::size_t i = 0; i < count; ++i) {
      found.emplace_back(u32(table, 8 * i), u32(table, 8 * i + 4));
    }
    return found;
  }

  // The subdirectory of the entry with this id.
  std::optional<std::uint32_t> subdirectory(std::uint32_t directory, std::uint32_t id) const {
    for (auto [name, offset] : entries(directory)) {
      if (name == id) {
        if ((offset & kSubdirectoryBit) == 0) return std::nullopt;
        return offset & ~kSubdirectoryBit;
      }
    }
    return std::nullopt;
  }

  bool versionResource(std::uint16_t userLanguage, std::string* block) const {
    // Type RT_VERSION, name 1, then the language the system's own lookup would take.
    std::optional<std::uint32_t> names = subdirectory(0, kVersionResourceType);
    std::optional<std::uint32_t> languages =
        names ? subdirectory(*names, kVersionResourceName) : std::nullopt;
    if (!languages) return false;
    auto choices = entries(*languages);
    if (choices.empty()) return false;
    // Neutral, the user's own, the user's language in another region, US English, the first.
    auto is = [](std::uint32_t wanted) {
      return [wanted](const auto& entry) { return entry.first == wanted; };
    };
    auto sameLanguage = [&](const auto& entry) {
      return (entry.first & kPrimaryLanguageMask) == (userLanguage & kPrimaryLanguageMask);
    };
    auto match = std::find_if(choices.begin(), choices.end(), is(kLanguageNeutral));
    if (match == choices.end())
      match = std::find_if(choices.begin(), choices.end(), is(userLanguage));
    if (match == choices.end()) match = std::find_if(choices.begin(), choices.end(), sameLanguage);
    if (match == choices.end())
      match = std::find_if(choices.begin(), choices.end(), is(kUsEnglish));
    std::uint32_t chosen = match == choices.end() ? choices.front().second : match->second;
    if ((chosen & kSubdirectoryBit) != 0) return false;
    std::string data;
    if (!readRva(resourceRva_ + chosen, 16, &data)) return false;
    std::uint32_t size = u32(data, 4);
    return size <= kMaxVersionResource && readRva(u32(data, 0), size, block);
  }

 private:
  const ByteSource& file_;
  std::uint32_t resourceRva_ = 0;
  std::vector<Section> sections_;
};

// One node of the version resource: wLength, wValueLength, wType, a UTF-16 key, padding to
// 32 bits, the value, padding, then the children up to wLength.
struct Block {
  std::string key;
  std::string_view value;  // raw bytes
  bool textValue = false;
  std::string_view children;
};

std::size_t alignUp(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

std::optional<Block> readBlock(std::string_view bytes, std::size_t* next) {
  if (bytes.size() < 6) return std::nullopt;
  std::size_t length = u16(bytes, 0);
  std::size_t valueLength = u16(bytes, 2);
  Block block;
  block.textValue = u16(bytes, 4) == 1;
  if (length < 6 || length > bytes.size()) return std::nullopt;
  std::string_view body = bytes.substr(0, length);
  std::size_t keyLength = 0;
  block.key = utf8FromUtf16(body.substr(6), &keyLength);
  std::size_t valueAt = alignUp(6 + keyLength);
  if (valueAt > body.size()) valueAt = body.size();
  // Text values count characters, binary ones bytes; neither may leave the block.
  std::size_t valueBytes = block.textValue ? valueLength * 2 : valueLength;
  valueBytes = std::min(valueBytes, body.size() - valueAt);
  block.value = body.substr(valueAt, valueBytes);
  std::size_t childrenAt = std::min(alignUp(valueAt + valueBytes), body.size());
  block.children = body.substr(childrenAt);
  *next = std::min(alignUp(length), bytes.size());
  return block;
}

template <typename Visit>
void forEachChild(std::string_view children, Visit visit) {
  while (!children.empty()) {
    std::size_t next = 0;
    std::optional<Block> child = readBlock(children, &next);
    if (!child) return;
    visit(*child);
    children.remove_prefix(next);
  }
}

std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

void readStringFileInfo(const Block& info, VersionInfo* out) {
  forEachChild(info.children, [&](const Block& table) {
    std::map<std::string, std::string>& strings = out->tables[lowered(table.key)];
    forEachChild(table.children, [&](const Block& entry) {
      strings.emplace(entry.key, utf8FromUtf16(entry.value, nullptr));
    });
  });
}

void readVarFileInfo(const Block& info, VersionInfo* out) {
  forEachChild(info.children, [&](const Block& var) {
    if (var.key != "Translation") return;
    for (std::size_t at = 0; at + 4 <= var.value.size(); at += 4) {
      out->translations.emplace_back(u16(var.value, at), u16(var.value, at + 2));
    }
  });
}

}  // namespace

bool isPortableExecutable(const ByteSource& file) {
  std::string magic;
  return file.read(0, 2, &magic) && magic == "MZ";
}

bool readPeVersionResource(const ByteSource& file, std::uint16_t userLanguage, VersionInfo* info) {
  PeImage image(file);
  std::string resource;
  if (!image.readHeaders() || !image.versionResource(userLanguage, &resource)) return false;
  std::size_t next = 0;
  std::optional<Block> root = readBlock(resource, &next);
  if (!root || root->key != "VS_VERSION_INFO") return false;
  VersionInfo result;
  forEachChild(root->children, [&](const Block& child) {
    if (child.key == "StringFileInfo") readStringFileInfo(child, &result);
    if (child.key == "VarFileInfo") readVarFileInfo(child, &result);
  });
  if (result.translations.empty() && result.tables.empty()) return false;
  *info = std::move(result);
  return true;
}

}  // namespace Vantor::platform
