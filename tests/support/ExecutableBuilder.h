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
  std::vector<std::pair<std::string, std::string>> strings;  // name, value (one byte a char)
};

// A 64-bit PE file whose resource section holds one version resource with these tables and
// the given translations (language, code page).
std::string buildPeFile(const std::vector<PeStringTable>& tables,
                        const std::vector<std::pair<std::uint16_t, std::uint16_t>>& translations);

// A 64-bit little-endian ELF file with one note section holding a package note.
std::string buildElfWithPackageNote(const std::string& json);

}  // namespace Vantor::testing

#endif  // TARNWICK_TESTS_SUPPORT_EXECUTABLEBUILDER_H_
