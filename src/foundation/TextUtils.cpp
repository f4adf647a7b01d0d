#include "foundation/TextUtils.h"

#include <cstdint>
#include <cstdio>

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

std::string validUtf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    std::size_t length = byte < 0x80 ? 1 : (byte >> 5) == 0x6 ? 2 : (byte >> 4) == 0xE ? 3
                                       : (byte >> 3) == 0x1E ? 4 : 0;
    bool whole = length > 0 && i + length <= text.size();
    for (std::size_t k = 1; whole && k < length; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    // Overlong forms, surrogates and values past U+10FFFF are not characters either.
    if (whole && length > 1) {
      std::uint32_t code = byte & (0x7F >> length);
      for (std::size_t k = 1; k < length; ++k) code = code << 6 | (text[i + k] & 0x3F);
      static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
      whole = code >= kLeast[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    }
    if (whole && byte != 0) {
      valid.append(text.substr(i, length));
      i += length;
    } else {
      valid += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return valid;
}

std::string shown(std::string_view text) { return withoutControls(validUtf8(text), '?'); }

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

std::string jsonString(std::string_view text) {
  std::string json = "\"";
  for (char c : validUtf8(text)) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      json += escape;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

}  // namespace Vantor::TextUtils
