#include "support/ExecutableBuilder.h"

#include <algorithm>
#include <cstdio>

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

void putUnit(std::string& bytes, std::uint32_t unit) {
  bytes.push_back(static_cast<char>(unit & 0xff));
  bytes.push_back(static_cast<char>(unit >> 8));
}

// UTF-8 text as terminated UTF-16, surrogate pairs beyond the first plane.
std::string utf16(const std::string& text) {
  std::string bytes;
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    int extra = byte >= 0xf0 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc0 ? 1 : 0;
    std::uint32_t code = extra == 0 ? byte : byte & (0x3f >> extra);
    for (int k = 1; k <= extra && i + k < text.size(); ++k) {
      code = code << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    }
    i += static_cast<std::size_t>(extra) + 1;
    if (code >= 0x10000) {
      putUnit(bytes, 0xd800 + ((code - 0x10000) >> 10));
      putUnit(bytes, 0xdc00 + ((code - 0x10000) & 0x3ff));
    } else {
      putUnit(bytes, code);
    }
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
      std::string text = utf16(value);
      entries += block(name, text, static_cast<std::uint16_t>(text.size() / 2), 1, "");
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
                        const PeTranslations& translations) {
  return buildPeFile({PeVersionEntry{1, 0x0409, tables, translations}});
}

std::string buildPeFile(const std::vector<PeVersionEntry>& resources) {
  constexpr std::uint32_t kPeOffset = 0x40;
  constexpr std::uint32_t kOptionalSize = 240;
  constexpr std::uint32_t kSectionTable = kPeOffset + 24 + kOptionalSize;
  constexpr std::uint32_t kRawOffset = 0x200;
  constexpr std::uint32_t kRva = 0x1000;
  constexpr std::uint32_t kSubdirectory = 0x80000000u;

  // Resource tree: type 16 -> each name -> each of its languages -> data entry -> block.
  std::vector<std::uint32_t> names;
  for (const PeVersionEntry& entry : resources) {
    if (std::find(names.begin(), names.end(), entry.name) == names.end()) {
      names.push_back(entry.name);
    }
  }
  auto directory = [](std::size_t count) {
    std::string bytes(16 + 8 * count, '\0');
    put16(bytes, 0x0e, static_cast<std::uint16_t>(count));
    return bytes;
  };
  std::string resource = directory(1);
  put32(resource, 0x10, 16);
  put32(resource, 0x14, kSubdirectory | static_cast<std::uint32_t>(resource.size()));
  std::size_t namesAt = resource.size();
  resource += directory(names.size());
  std::vector<std::pair<std::size_t, const PeVersionEntry*>> dataEntries;
  for (std::size_t n = 0; n < names.size(); ++n) {
    std::vector<const PeVersionEntry*> languages;
    for (const PeVersionEntry& entry : resources) {
      if (entry.name == names[n]) languages.push_back(&entry);
    }
    put32(resource, namesAt + 16 + 8 * n, names[n]);
    put32(resource, namesAt + 20 + 8 * n,
          kSubdirectory | static_cast<std::uint32_t>(resource.size()));
    std::size_t languagesAt = resource.size();
    resource += directory(languages.size());
    for (std::size_t l = 0; l < languages.size(); ++l) {
      put32(resource, languagesAt + 16 + 8 * l, languages[l]->language);
      dataEntries.emplace_back(languagesAt + 20 + 8 * l, languages[l]);
    }
  }
  for (auto& [slot, entry] : dataEntries) {
    put32(resource, slot, static_cast<std::uint32_t>(resource.size()));
    slot = resource.size();
    resource += std::string(16, '\0');
  }
  for (const auto& [at, entry] : dataEntries) {
    std::string version = versionBlock(entry->tables, entry->translations);
    put32(resource, at, kRva + static_cast<std::uint32_t>(resource.size()));
    put32(resource, at + 4, static_cast<std::uint32_t>(version.size()));
    resource += version;
  }
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
  file.replace(0, 4,
               "\x7f"
               "ELF");
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
