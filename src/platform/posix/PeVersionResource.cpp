#include "platform/posix/PeVersionResource.h"

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

}  // namespace

bool isPortableExecutable(const ByteSource& file) {
  std::string magic;
  return file.read(0, 2, &magic) && magic == "MZ";
}

bool readPeVersionResource(const ByteSource& file, std::uint16_t userLanguage, VersionInfo* info) {
  PeImage image(file);
  std::string resource;
  if (!image.readHeaders() || !image.versionResource(userLanguage, &resource)) return false;
  return parseVersionResource(resource, info);
}

}  // namespace Vantor::platform
