// Any bytes parse; and a string set into any file reads back, every other value unchanged.
// Input: one byte giving the name's length, the name, one byte for the value's length, the
// value, then the file.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/posix/RegistryFile.h"

namespace {

std::string_view take(std::string_view* input) {
  if (input->empty()) return {};
  std::size_t length = static_cast<unsigned char>(input->front()) % 32;
  input->remove_prefix(1);
  std::string_view piece = input->substr(0, length);
  input->remove_prefix(piece.size());
  return piece;
}

std::string folded(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace Vantor::platform;
  constexpr std::string_view kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Vantor\\Resources";
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view name = take(&input);
  std::string_view value = take(&input);
  auto before = RegistryFile::parse(input);
  if (name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) return 0;

  std::string updated = RegistryFile::withString(input, kKey, name, value);
  auto after = RegistryFile::parse(updated);
  const RegistryValue* written = RegistryFile::find(after, kKey, name);
  if (written == nullptr || written->data != std::string(value) + std::string(1, '\0')) {
    std::abort();
  }
  // Every other value, of any key, is untouched.
  std::string foldedKey = folded(kKey);
  std::string foldedName = folded(name);
  for (const auto& [key, values] : before) {
    for (const auto& [valueName, old] : values) {
      if (key == foldedKey && valueName == foldedName) continue;
      const RegistryValue* still = RegistryFile::find(after, key, valueName);
      if (still == nullptr || still->type != old.type || still->data != old.data) std::abort();
    }
  }
  return 0;
}
