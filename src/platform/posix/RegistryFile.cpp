#include "platform/posix/RegistryFile.h"

#include <cstdint>
#include <optional>

namespace Vantor::platform::RegistryFile {

namespace {

std::string foldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Export files are UTF-16LE with a byte-order mark when the system writes them; ours are
// narrow. UTF-16 code units above 255 have no narrow form and read as '?'.
std::string narrowFromUtf16(std::string_view bytes) {
  std::string narrow;
  narrow.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    unsigned unit = static_cast<unsigned char>(bytes[i]) |
                    (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    narrow.push_back(unit < 256 ? static_cast<char>(unit) : '?');
  }
  return narrow;
}

std::string decodeText(std::string_view text) {
  if (text.size() >= 2 && text[0] == '\xff' && text[1] == '\xfe') {
    return narrowFromUtf16(text.substr(2));
  }
  if (text.substr(0, 3) == "\xef\xbb\xbf") text.remove_prefix(3);
  return std::string(text);
}

std::vector<std::string_view> physicalLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end < text.size() ? end + 1 : end);
  }
  return lines;
}

// Reads a quoted name or string starting at text[*pos] == '"'; leaves *pos after the closing
// quote. Only \\ and \" are escapes; anything else is damage.
std::optional<std::string> readQuoted(std::string_view text, std::size_t* pos,
                                      std::string* reason) {
  std::string result;
  std::size_t i = *pos + 1;
  while (i < text.size()) {
    char c = text[i];
    if (c == '"') {
      *pos = i + 1;
      return result;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"')) {
        *reason = "bad escape";
        return std::nullopt;
      }
      c = text[++i];
    }
    result.push_back(c);
    ++i;
  }
  *reason = "unterminated string";
  return std::nullopt;
}

// The value name of a value line and where its data starts (after '=').
struct ValueHead {
  std::string name;
  std::size_t dataStart = 0;
};

std::optional<ValueHead> readValueHead(std::string_view line, std::string* reason) {
  ValueHead head;
  std::size_t pos = 0;
  if (!line.empty() && line[0] == '@') {
    pos = 1;
  } else if (!line.empty() && line[0] == '"') {
    std::optional<std::string> name = readQuoted(line, &pos, reason);
    if (!name) return std::nullopt;
    head.name = std::move(*name);
  } else {
    *reason = "not a value line";
    return std::nullopt;
  }
  while (pos < line.size() && isBlank(line[pos])) ++pos;
  if (pos >= line.size() || line[pos] != '=') {
    *reason = "missing '='";
    return std::nullopt;
  }
  ++pos;
  while (pos < line.size() && isBlank(line[pos])) ++pos;
  head.dataStart = pos;
  return head;
}

// One line as the format sees it: hex data may continue over several physical lines, each
// but the last ending in '\'.
struct LogicalLine {
  std::size_t first = 0;  // index of the first physical line
  std::size_t end = 0;    // one past the last physical line
  std::string text;       // trimmed, continuations joined
  bool dangling = false;  // the file ends where a continuation was asked for
};

bool startsHexData(std::string_view line) {
  std::string ignored;
  std::optional<ValueHead> head = readValueHead(line, &ignored);
  return head && line.substr(head->dataStart, 3) == "hex";
}

std::vector<LogicalLine> logicalLines(const std::vector<std::string_view>& lines) {
  std::vector<LogicalLine> result;
  for (std::size_t i = 0; i < lines.size();) {
    LogicalLine logical;
    logical.first = i;
    std::string_view current = trim(lines[i++]);
    logical.text = std::string(current);
    if (startsHexData(logical.text)) {
      // Only the physical line's own last character asks for a continuation, so an empty
      // line always ends one.
      while (!current.empty() && current.back() == '\\') {
        if (i == lines.size()) {
          logical.dangling = true;
          break;
        }
        logical.text.pop_back();
        current = trim(lines[i++]);
        logical.text += current;
      }
    }
    logical.end = i;
    result.push_back(std::move(logical));
  }
  return result;
}

std::optional<std::string> readHexBytes(std::string_view data, std::string* reason) {
  std::string bytes;
  data = trim(data);
  if (data.empty()) return bytes;
  while (true) {
    std::string_view item = trim(data.substr(0, data.find(',')));
    if (item.size() != 2 || hexDigit(item[0]) < 0 || hexDigit(item[1]) < 0) {
      *reason = "bad hex byte";
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(hexDigit(item[0]) * 16 + hexDigit(item[1])));
    std::size_t comma = data.find(',');
    if (comma == std::string_view::npos) return bytes;
    data.remove_prefix(comma + 1);
  }
}

bool isStringType(std::uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

// The data part of a value line; nullopt with a reason when it cannot be read. A deletion
// ("-") yields a value of type kRegNone with the marker set.
std::optional<RegistryValue> readData(std::string_view data, bool* deletion, std::string* reason) {
  *deletion = false;
  RegistryValue value;
  if (data == "-") {
    *deletion = true;
    return value;
  }
  if (!data.empty() && data[0] == '"') {
    std::size_t pos = 0;
    std::optional<std::string> text = readQuoted(data, &pos, reason);
    if (!text) return std::nullopt;
    if (!trim(data.substr(pos)).empty()) {
      *reason = "text after the closing quote";
      return std::nullopt;
    }
    value.type = kRegSz;
    value.data = std::move(*text);
    value.data.push_back('\0');
    return value;
  }
  if (data.substr(0, 6) == "dword:") {
    std::string_view digits = trim(data.substr(6));
    if (digits.empty() || digits.size() > 8) {
      *reason = "bad dword";
      return std::nullopt;
    }
    std::uint32_t number = 0;
    for (char c : digits) {
      if (hexDigit(c) < 0) {
        *reason = "bad dword";
        return std::nullopt;
      }
      number = number * 16 + static_cast<std::uint32_t>(hexDigit(c));
    }
    value.type = kRegDword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>((number >> (8 * i)) & 0xff));
    return value;
  }
  if (data.substr(0, 4) == "hex:" || data.substr(0, 4) == "hex(") {
    std::size_t colon = data.find(':');
    value.type = kRegBinary;
    if (data[3] == '(') {
      std::string_view typeDigits = data.substr(4, colon == std::string_view::npos ? 0 : colon - 4);
      if (typeDigits.size() < 2 || typeDigits.size() > 9 || typeDigits.back() != ')') {
        *reason = "bad hex type";
        return std::nullopt;
      }
      typeDigits.remove_suffix(1);
      value.type = 0;
      for (char c : typeDigits) {
        if (hexDigit(c) < 0) {
          *reason = "bad hex type";
          return std::nullopt;
        }
        value.type = value.type * 16 + static_cast<std::uint32_t>(hexDigit(c));
      }
    }
    std::optional<std::string> bytes = readHexBytes(data.substr(colon + 1), reason);
    if (!bytes) return std::nullopt;
    if (isStringType(value.type)) {
      if (bytes->size() % 2 != 0) {
        *reason = "odd length of a UTF-16 string";
        return std::nullopt;
      }
      value.data = narrowFromUtf16(*bytes);
    } else {
      value.data = std::move(*bytes);
    }
    return value;
  }
  *reason = "unknown value type";
  return std::nullopt;
}

// The key named by a section line "[...]", or nullopt for a deleted key "[-...]".
std::optional<std::string> sectionKey(std::string_view line) {
  std::string_view inner = trim(line.substr(1, line.size() - 2));
  if (!inner.empty() && inner[0] == '-') return std::nullopt;
  return foldCase(inner);
}

bool isSection(std::string_view line) {
  return line.size() >= 2 && line.front() == '[' && line.back() == ']';
}

bool isIgnorable(std::string_view line) {
  return line.empty() || line[0] == ';' || line == kHeader || line == "REGEDIT4";
}

std::string escaped(std::string_view text) {
  std::string result;
  for (char c : text) {
    if (c == '\\' || c == '"') result.push_back('\\');
    result.push_back(c);
  }
  return result;
}

std::string valueLine(std::string_view name, std::string_view value) {
  std::string line = "\"" + escaped(name) + "\"=";
  bool fitsQuoted = value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
  if (fitsQuoted) return line + "\"" + escaped(value) + "\"";
  // Line breaks and NULs cannot stand in a quoted string: write the UTF-16 bytes instead.
  static constexpr char kHex[] = "0123456789abcdef";
  line += "hex(1):";
  std::string utf16;
  for (char c : value) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  utf16.append(2, '\0');
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    if (i > 0) line.push_back(',');
    unsigned char byte = static_cast<unsigned char>(utf16[i]);
    line.push_back(kHex[byte >> 4]);
    line.push_back(kHex[byte & 0xf]);
  }
  return line;
}

}  // namespace

std::map<std::string, Values> parse(std::string_view rawText, std::vector<Damage>* damage) {
  std::string text = decodeText(rawText);
  std::map<std::string, Values> keys;
  auto report = [damage](std::size_t line, std::string reason) {
    if (damage != nullptr) damage->push_back({line + 1, std::move(reason)});
  };
  std::vector<std::string_view> lines = physicalLines(text);
  Values* current = nullptr;
  for (const LogicalLine& line : logicalLines(lines)) {
    if (isIgnorable(line.text)) continue;
    if (isSection(line.text)) {
      std::optional<std::string> key = sectionKey(line.text);
      if (key) {
        current = &keys[*key];
      } else {
        keys.erase(foldCase(trim(line.text.substr(2, line.text.size() - 3))));
        current = nullptr;
      }
      continue;
    }
    std::string reason;
    std::optional<ValueHead> head = readValueHead(line.text, &reason);
    if (!head) {
      report(line.first, reason);
      continue;
    }
    bool deletion = false;
    std::optional<RegistryValue> value =
        readData(std::string_view(line.text).substr(head->dataStart), &deletion, &reason);
    if (!value) {
      report(line.first, reason);
      continue;
    }
    if (current == nullptr) continue;  // a value of a deleted key, or before any key
    if (deletion) {
      current->erase(foldCase(head->name));
    } else {
      (*current)[foldCase(head->name)] = std::move(*value);
    }
  }
  return keys;
}

const RegistryValue* find(const std::map<std::string, Values>& keys, std::string_view key,
                          std::string_view name) {
  auto foundKey = keys.find(foldCase(key));
  if (foundKey == keys.end()) return nullptr;
  auto found = foundKey->second.find(foldCase(name));
  return found == foundKey->second.end() ? nullptr : &found->second;
}

std::string withString(std::string_view rawText, std::string_view key, std::string_view name,
                       std::string_view value) {
  std::string text = decodeText(rawText);
  std::vector<std::string_view> lines = physicalLines(text);
  std::vector<bool> dropped(lines.size(), false);
  std::string wantedKey = foldCase(key);
  std::string wantedName = foldCase(name);
  bool inKey = false;
  constexpr std::size_t kNowhere = static_cast<std::size_t>(-1);
  std::size_t insertAfter = kNowhere;  // physical line after which the new value goes
  bool danglingContinuation = false;   // that line still asks for a continuation
  bool anyContent = false;
  for (const LogicalLine& line : logicalLines(lines)) {
    if (!line.text.empty()) anyContent = true;
    if (isSection(line.text)) {
      std::optional<std::string> section = sectionKey(line.text);
      inKey = section && *section == wantedKey;
      if (inKey) insertAfter = line.end - 1;
      // A later deletion of the key would take the new value with it: start a new section.
      if (!section && foldCase(trim(line.text.substr(2, line.text.size() - 3))) == wantedKey) {
        insertAfter = kNowhere;
      }
      danglingContinuation = false;
      continue;
    }
    if (!inKey || line.text.empty()) continue;
    insertAfter = line.end - 1;
    danglingContinuation = line.dangling;
    std::string ignored;
    std::optional<ValueHead> head = readValueHead(line.text, &ignored);
    if (head && foldCase(head->name) == wantedName) {
      for (std::size_t i = line.first; i < line.end; ++i) dropped[i] = true;
    }
  }

  std::string result;
  if (!anyContent) result = std::string(kHeader) + "\n\n";
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!dropped[i]) {
      result.append(lines[i]);
      result.push_back('\n');
    }
    if (insertAfter == i) {
      // An empty line ends a continuation that the file left open.
      if (danglingContinuation) result.push_back('\n');
      result += valueLine(name, value) + "\n";
    }
  }
  if (insertAfter == kNowhere) {
    if (anyContent) result.push_back('\n');
    result += "[" + std::string(key) + "]\n" + valueLine(name, value) + "\n";
  }
  // Text that starts like a byte-order mark would be read back differently: a UTF-8 mark in
  // front keeps it as it is (the reader drops exactly one).
  if (result.rfind("\xff\xfe", 0) == 0 || result.rfind("\xef\xbb\xbf", 0) == 0) {
    result.insert(0, "\xef\xbb\xbf");
  }
  return result;
}

std::string withMissingStrings(std::string_view text, std::string_view rawDefaults) {
  std::string result(text);
  std::string defaults = decodeText(rawDefaults);
  std::vector<std::string_view> lines = physicalLines(defaults);
  std::optional<std::string> key;  // as spelt; none in a deleted key or before the first
  for (const LogicalLine& line : logicalLines(lines)) {
    if (isIgnorable(line.text)) continue;
    if (isSection(line.text)) {
      key.reset();
      if (sectionKey(line.text)) key = std::string(trim(line.text.substr(1, line.text.size() - 2)));
      continue;
    }
    std::string reason;
    std::optional<ValueHead> head = readValueHead(line.text, &reason);
    bool deletion = false;
    std::optional<RegistryValue> value =
        head ? readData(std::string_view(line.text).substr(head->dataStart), &deletion, &reason)
             : std::nullopt;
    if (!key || !value || deletion || value->type != kRegSz) continue;
    if (find(parse(result), *key, head->name) != nullptr) continue;
    std::string_view data = value->data;
    if (!data.empty() && data.back() == '\0') data.remove_suffix(1);
    result = withString(result, *key, head->name, data);
  }
  return result;
}

}  // namespace Vantor::platform::RegistryFile
