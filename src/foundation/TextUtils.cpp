#include "foundation/TextUtils.h"

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

std::string readTextFile(const std::string& path) {
  FilePlain file(path);
  file.open(FileBase::ACCESS_READ);
  std::string content;
  std::string piece;
  while (!file.isEof()) {
    file.readString(piece, 64 * 1024);
    content += piece;
  }
  file.close();
  return content;
}

}  // namespace Vantor::TextUtils
