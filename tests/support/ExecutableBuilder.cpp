#include "support/ExecutableBuilder.h"

namespace Vantor::testing {

namespace {

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xff);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  put16(bytes, at, static_cast<std::uint16_t>(value & 0xffff));
  put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

void put64(std::string& bytes, std::size_t at, std::uint64_t value) {
  put32(bytes, at, static_cast<std::uint32_t>(value));
  put32(bytes, at + 4, static_cast<std::uint32_t>(value >> 32));
}

std::string utf16(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes.push_back(c);
    bytes.push_back('\0');
  }
  return bytes + std::string(2, '\0');
}

void padTo4(std::string& bytes) {
  while (bytes.size() % 4 != 0) bytes.push_back('\0');
}

// wLength, wValueLength, wType, key, padding, value, padding, children.
std::string block(const std::string& key, const std::string& value, std::uint16_t valueLength,
                  std::uint16_t type, const std::string& children) {
  std::string bytes(6, '\0');
  bytes += utf16(key);
  padTo4(bytes);
  bytes += value;
  padTo4(bytes);
  bytes += children;
  put16(bytes, 0, static_cast<std::uint16_t>(bytes.size()));
  put16(bytes, 2, valueLength);
  put16(bytes, 4, type);
  padTo4(bytes);
  return bytes;
}

std::string versionBlock(const std::vector<PeStringTable>& tables,
                         const std::vector<std::pair<std::uint16_t, std::uint16_t>>& translations) {
  std::string tableBlocks;
  for (const PeStringTable& table : tables) {
    std::string entries;
    for (const auto& [name, value] : table.strings) {
      entries += block(name, utf16(value), static_cast<std::uint16_t>(value.size() + 1), 1, "");
    }
    char key[9];
    std::snprintf(key, sizeof key, "%04x%04x", table.language, table.codePage);
    tableBlocks += block(key, "", 0, 1, entries);
  }
  std::string pairs;
  for (auto [language, codePage] : translations) {
    std::string pair(4, '\0');
    put16(pair, 0, language);
    put16(pair, 2, codePage);
    pairs += pair;
  }
  std::string fixed(52, '\0');
  put32(fixed, 0, 0xfeef04bd);
  std::string children = block("StringFileInfo", "", 0, 1, tableBlocks);
  if (!translations.empty()) {
    children += block("VarFileInfo", "", 0, 1,
                      block("Translation", pairs, static_cast<std::uint16_t>(pairs.size()), 0, ""));
  }
  return block("VS_VERSION_INFO", fixed, 52, 0, children);
}

}  // namespace

std::string buildPeFile(const std::vector<PeStringTable>& tables,
                        const std::vector<std::pair<std::uint16_t, std::uint16_t>>& translations) {
  constexpr std::uint32_t kPeOffset = 0x40;
  constexpr std::uint32_t kOptionalSize = 240;
  constexpr std::uint32_t kSectionTable = kPeOffset + 24 + kOptionalSize;
  constexpr std::uint32_t kRawOffset = 0x200;
  constexpr std::uint32_t kRva = 0x1000;
  constexpr std::uint32_t kVersionAt = 0x58;

  // Resource tree: type 16 -> name 1 -> language 0x409 -> data entry -> version block.
  std::string resource(kVersionAt, '\0');
  put16(resource, 0x0e, 1);
  put32(resource, 0x10, 16);
  put32(resource, 0x14, 0x80000000u | 0x18);
  put16(resource, 0x18 + 0x0e, 1);
  put32(resource, 0x18 + 0x10, 1);
  put32(resource, 0x18 + 0x14, 0x80000000u | 0x30);
  put16(resource, 0x30 + 0x0e, 1);
  put32(resource, 0x30 + 0x10, 0x409);
  put32(resource, 0x30 + 0x14, 0x48);
  std::string version = versionBlock(tables, translations);
  put32(resource, 0x48, kRva + kVersionAt);
  put32(resource, 0x4c, static_cast<std::uint32_t>(version.size()));
  resource += version;
  while (resource.size() % 0x200 != 0) resource.push_back('\0');

  std::string file(kRawOffset, '\0');
  file[0] = 'M';
  file[1] = 'Z';
  put32(file, 0x3c, kPeOffset);
  file.replace(kPeOffset, 4, std::string("PE\0\0", 4));
  put16(file, kPeOffset + 4, 0x8664);
  put16(file, kPeOffset + 6, 1);
  put16(file, kPeOffset + 20, kOptionalSize);
  put16(file, kPeOffset + 22, 0x22);
  std::uint32_t optional = kPeOffset + 24;
  put16(file, optional, 0x20b);
  put32(file, optional + 108, 16);
  put32(file, optional + 112 + 16, kRva);
  put32(file, optional + 112 + 20, static_cast<std::uint32_t>(resource.size()));
  file.replace(kSectionTable, 5, ".rsrc");
  put32(file, kSectionTable + 8, static_cast<std::uint32_t>(resource.size()));
  put32(file, kSectionTable + 12, kRva);
  put32(file, kSectionTable + 16, static_cast<std::uint32_t>(resource.size()));
  put32(file, kSectionTable + 20, kRawOffset);
  return file + resource;
}

std::string buildElfWithPackageNote(const std::string& json) {
  std::string note(12, '\0');
  put32(note, 0, 4);
  put32(note, 4, static_cast<std::uint32_t>(json.size() + 1));
  put32(note, 8, 0xcafe1a7e);
  note += std::string("FDO\0", 4) + json + '\0';
  padTo4(note);

  constexpr std::size_t kNoteAt = 64;
  std::string file(kNoteAt, '\0');
  file.replace(0, 4, "\x7f" "ELF");
  file[4] = 2;  // 64-bit
  file[5] = 1;  // little-endian
  file[6] = 1;
  put16(file, 16, 2);
  put16(file, 18, 62);
  put32(file, 20, 1);
  file += note;
  std::size_t sections = file.size();
  put64(file, 0x28, sections);
  put16(file, 0x34, 64);
  put16(file, 0x3a, 64);
  put16(file, 0x3c, 2);
  std::string headers(128, '\0');
  put32(headers, 64 + 4, 7);  // SHT_NOTE
  put64(headers, 64 + 0x18, kNoteAt);
  put64(headers, 64 + 0x20, note.size());
  return file + headers;
}

}  // namespace Vantor::testing
