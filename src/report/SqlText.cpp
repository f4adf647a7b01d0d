#include "report/SqlText.h"

#include <cstdint>

namespace Vantor::report {

std::string likePattern(std::string_view pattern) {
  std::string like;
  for (char c : pattern) {
    if (c == '*') {
      like.push_back('%');
    } else if (c == '?') {
      like.push_back('_');
    } else {
      if (c == '%' || c == '_' || c == '\\') like.push_back('\\');
      like.push_back(c);
    }
  }
  return like;
}

std::string intervalsQuery(bool withPattern, std::string_view byteOrderCollation) {
  std::string sql =
      "SELECT product, user_name, computer, time_class, start_time, length FROM usage_interval "
      "WHERE start_time < $1 AND start_time + length >= $2";
  if (withPattern) sql += " AND product LIKE $3 ESCAPE '\\'";
  return sql + " ORDER BY product COLLATE " + std::string(byteOrderCollation) + ", start_time";
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

}  // namespace Vantor::report
