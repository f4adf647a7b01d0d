#include "platform/posix/ElfPackageNote.h"

#include <cstdint>
#include <vector>

namespace Vantor::platform {

namespace {

constexpr std::uint32_t kSectionNote = 7;  // SHT_NOTE
constexpr std::uint32_t kPackageNoteType = 0xcafe1a7e;
// Real files have a few dozen sections and notes; a crafted one must not cost the reader more
// than a few hundred kilobytes.
constexpr std::size_t kMaxSections = 4096;
constexpr std::size_t kMaxNoteSection = 1 << 16;
constexpr int kMaxNoteSectionsRead = 16;
constexpr int kMaxJsonDepth = 32;

class ElfReader {
 public:
  explicit ElfReader(std::string_view identification)
      : wide_(identification[4] == 2), big_(identification[5] == 2) {}

  std::uint64_t number(std::string_view bytes, std::size_t at, std::size_t width) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      std::size_t index = big_ ? at + i : at + width - 1 - i;
      value = value << 8 | static_cast<unsigned char>(bytes[index]);
    }
    return value;
  }
  std::uint64_t word(std::string_view bytes, std::size_t at) const { return number(bytes, at, 4); }
  // An address or offset: 8 bytes in 64-bit files, 4 in 32-bit ones.
  std::uint64_t address(std::string_view bytes, std::size_t at) const {
    return number(bytes, at, wide_ ? 8 : 4);
  }
  bool wide() const { return wide_; }

 private:
  bool wide_;
  bool big_;
};

struct SectionHeader {
  std::uint32_t type;
  std::uint64_t offset;
  std::uint64_t size;
};

// The notes of one section: owner "FDO" with the package type gives its text.
bool findPackageNote(const ElfReader& elf, std::string_view notes, std::string* json) {
  std::size_t at = 0;
  while (at + 12 <= notes.size()) {
    std::uint64_t nameSize = elf.word(notes, at);
    std::uint64_t descSize = elf.word(notes, at + 4);
    std::uint64_t type = elf.word(notes, at + 8);
    std::uint64_t nameAt = at + 12;
    std::uint64_t descAt = nameAt + ((nameSize + 3) & ~std::uint64_t{3});
    std::uint64_t end = descAt + ((descSize + 3) & ~std::uint64_t{3});
    if (descAt + descSize > notes.size()) return false;
    if (type == kPackageNoteType &&
        notes.substr(nameAt, nameSize) == std::string_view("FDO\0", 4)) {
      std::string_view text = notes.substr(descAt, descSize);
      *json = std::string(text.substr(0, text.find('\0')));
      return true;
    }
    if (end <= at) return false;
    at = end;
  }
  return false;
}

class JsonScanner {
 public:
  explicit JsonScanner(std::string_view text) : text_(text) {}

  void skipBlanks() {
    while (at_ < text_.size() &&
           (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\n' || text_[at_] == '\r')) {
      ++at_;
    }
  }
  bool take(char c) {
    skipBlanks();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool peek(char c) {
    skipBlanks();
    return at_ < text_.size() && text_[at_] == c;
  }
  bool atEnd() {
    skipBlanks();
    return at_ == text_.size();
  }

  // A string; escapes decoded, characters beyond one byte become '?'.
  bool string(std::string* out) {
    if (!take('"')) return false;
    out->clear();
    while (at_ < text_.size()) {
      char c = text_[at_++];
      if (c == '"') return true;
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (at_ >= text_.size()) return false;
      char escape = text_[at_++];
      switch (escape) {
        case 'n':
          out->push_back('\n');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'u': {
          if (at_ + 4 > text_.size()) return false;
          unsigned code = 0;
          for (int i = 0; i < 4; ++i) {
            char h = text_[at_++];
            code <<= 4;
            if (h >= '0' && h <= '9')
              code |= h - '0';
            else if (h >= 'a' && h <= 'f')
              code |= h - 'a' + 10;
            else if (h >= 'A' && h <= 'F')
              code |= h - 'A' + 10;
            else
              return false;
          }
          out->push_back(code < 256 ? static_cast<char>(code) : '?');
          break;
        }
        default:
          out->push_back(escape);
      }
    }
    return false;
  }

  // Any value other than a string: numbers, literals, and nested objects or arrays.
  bool skipValue(int depth) {
    if (depth > kMaxJsonDepth) return false;
    std::string ignored;
    if (peek('"')) return string(&ignored);
    if (take('{') || take('[')) {
      char close = text_[at_ - 1] == '{' ? '}' : ']';
      if (take(close)) return true;
      do {
        if (close == '}' && !(string(&ignored) && take(':'))) return false;
        if (!skipValue(depth + 1)) return false;
      } while (take(','));
      return take(close);
    }
    std::size_t start = at_;
    while (at_ < text_.size() && text_[at_] != ',' && text_[at_] != '}' && text_[at_] != ']' &&
           text_[at_] != ' ' && text_[at_] != '\n') {
      ++at_;
    }
    return at_ > start;
  }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

}  // namespace

bool isElf(const ByteSource& file) {
  std::string magic;
  return file.read(0, 4, &magic) && magic ==
                                        "\x7f"
                                        "ELF";
}

bool readElfPackageNote(const ByteSource& file, std::string* json) {
  std::string header;
  if (!file.read(0, 64, &header) && !file.read(0, 52, &header)) return false;
  if (header.compare(0, 4,
                     "\x7f"
                     "ELF") != 0)
    return false;
  ElfReader elf(header);
  bool wide = elf.wide();
  // A 32-bit header is 52 bytes long, a 64-bit one 64.
  if (header.size() < (wide ? 64u : 52u)) return false;
  std::uint64_t tableOffset = elf.address(header, wide ? 0x28 : 0x20);
  std::uint64_t entrySize = elf.number(header, wide ? 0x3a : 0x2e, 2);
  std::uint64_t count = elf.number(header, wide ? 0x3c : 0x30, 2);
  // Section headers have one size per class; any other would make a user's file cost the
  // reader gigabytes.
  if (entrySize != (wide ? 64u : 40u) || count == 0 || count > kMaxSections) return false;
  std::string table;
  if (!file.read(tableOffset, entrySize * count, &table)) return false;
  std::vector<SectionHeader> sections;
  for (std::uint64_t i = 0; i < count; ++i) {
    std::size_t at = i * entrySize;
    sections.push_back({static_cast<std::uint32_t>(elf.word(table, at + 4)),
                        elf.address(table, at + (wide ? 0x18 : 0x10)),
                        elf.address(table, at + (wide ? 0x20 : 0x14))});
  }
  // The note is found by its owner and type; section names are not needed.
  int notesRead = 0;
  for (const SectionHeader& section : sections) {
    if (section.type != kSectionNote || section.size > kMaxNoteSection) continue;
    if (++notesRead > kMaxNoteSectionsRead) break;
    std::string notes;
    if (file.read(section.offset, section.size, &notes) && findPackageNote(elf, notes, json)) {
      return true;
    }
  }
  return false;
}

bool parseJsonStrings(std::string_view json, std::map<std::string, std::string>* members) {
  JsonScanner scanner(json);
  members->clear();
  if (!scanner.take('{')) return false;
  if (!scanner.take('}')) {
    do {
      std::string key;
      std::string value;
      if (!scanner.string(&key) || !scanner.take(':')) return false;
      if (scanner.peek('"')) {
        if (!scanner.string(&value)) return false;
        members->emplace(key, value);
      } else if (!scanner.skipValue(1)) {
        return false;
      }
    } while (scanner.take(','));
    if (!scanner.take('}')) return false;
  }
  return scanner.atEnd();
}

}  // namespace Vantor::platform
