#include "platform/VersionInfo.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string_view>

#include "platform/Utf16.h"

namespace Vantor::platform {

namespace {
constexpr std::uint16_t kUsEnglish = 0x0409;
constexpr std::uint16_t kUnicode = 0x04b0;

std::uint16_t u16(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(bytes[at]) |
                                    static_cast<unsigned char>(bytes[at + 1]) << 8);
}

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

std::string VersionInfo::tableName(std::uint16_t language, std::uint16_t codePage) {
  char name[9];
  std::snprintf(name, sizeof name, "%04x%04x", language, codePage);
  return name;
}

std::optional<std::string> VersionInfo::query(std::uint16_t language, std::uint16_t codePage,
                                              const std::string& name) const {
  auto table = tables.find(tableName(language, codePage));
  if (table == tables.end()) return std::nullopt;
  auto value = table->second.find(name);
  if (value == table->second.end()) return std::nullopt;
  return value->second;
}

VersionInfo VersionInfo::ofStrings(std::map<std::string, std::string> strings) {
  VersionInfo info;
  info.translations.emplace_back(kUsEnglish, kUnicode);
  info.tables.emplace(tableName(kUsEnglish, kUnicode), std::move(strings));
  return info;
}

bool parseVersionResource(std::string_view resource, VersionInfo* info) {
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
