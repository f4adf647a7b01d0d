#include "foundation/TextUtils.h"

#include "foundation/FileException.h"
#include "foundation/FilePlain.h"

namespace Vantor::TextUtils {

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && static_cast<unsigned char>(text.front()) <= ' ') text.remove_prefix(1);
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.remove_suffix(1);
  return text;
}

std::string lowered(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

std::string clipped(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return std::string(text);
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "... (" + std::to_string(text.size() - cut) +
         " more bytes)";
}

std::string withoutControls(std::string_view text, char replacement) {
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7f) {
      result.push_back(replacement);
    } else if (byte == 0xc2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9f) {
      result.push_back(replacement);
      ++i;
    } else {
      result.push_back(text[i]);
    }
  }
  return result;
}

std::string readTextFile(platform::Env& env, const std::string& path) {
  FilePlain file(env, path);
  file.open(FileBase::ACCESS_READ);
  std::string content;
  std::string piece;
  while (!file.isEof()) {
    file.readString(piece, 64 * 1024);
    content += piece;
    // Read while the agent's sources wait: a file no site writes must not hold them up, nor
    // take the machine's memory.
    if (content.size() > kMaxTextFileBytes) {
      throw FileException(FileException::FL_CANNOT_READ,
                          "Larger than " + std::to_string(kMaxTextFileBytes >> 20) + " MB: " + path,
                          __FILE__, __LINE__);
    }
  }
  file.close();
  return content;
}

}  // namespace Vantor::TextUtils
