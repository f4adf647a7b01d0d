// Small executable files with known metadata, built in code: a PE file with a version
// resource, and an ELF file with a package note.
#ifndef TARNWICK_TESTS_SUPPORT_EXECUTABLEBUILDER_H_
#define TARNWICK_TESTS_SUPPORT_EXECUTABLEBUILDER_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Vantor::testing {

struct PeStringTable {
  std::uint16_t language = 0x0409;
  std::uint16_t codePage = 0x04b0;
  std::vector<std::pair<std::string, std::string>> strings;  // name, value in UTF-8
};

using PeTranslations = std::vector<std::pair<std::uint16_t, std::uint16_t>>;

// One version resource: its name (id) and language in the resource tree, its string tables
// and its translation list (language, code page).
struct PeVersionEntry {
  std::uint32_t name = 1;
  std::uint16_t language = 0x0409;
  std::vector<PeStringTable> tables;
  PeTranslations translations;
};

// A 64-bit PE file whose resource section holds these version resources, in this order.
std::string buildPeFile(const std::vector<PeVersionEntry>& resources);
// The same with one resource, id 1, US English.
std::string buildPeFile(const std::vector<PeStringTable>& tables,
                        const PeTranslations& translations);

// A 64-bit little-endian ELF file with one note section holding a package note.
std::string buildElfWithPackageNote(const std::string& json);

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_EXECUTABLEBUILDER_H_
