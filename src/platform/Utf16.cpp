#include "platform/Utf16.h"

#include <cstdint>

namespace Vantor::platform {

namespace {

std::uint32_t unitAt(std::string_view bytes, std::size_t at) {
  return static_cast<std::uint8_t>(bytes[at]) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[at + 1])) << 8;
}

void appendUtf8(std::string* text, std::uint32_t code) {
  if (code < 0x80) {
    text->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    text->push_back(static_cast<char>(0xc0 | code >> 6));
    text->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else if (code < 0x10000) {
    text->push_back(static_cast<char>(0xe0 | code >> 12));
    text->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3f)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  } else {
    text->push_back(static_cast<char>(0xf0 | code >> 18));
    text->push_back(static_cast<char>(0x80 | (code >> 12 & 0x3f)));
    text->push_back(static_cast<char>(0x80 | (code >> 6 & 0x3f)));
    text->push_back(static_cast<char>(0x80 | (code & 0x3f)));
  }
}

}  // namespace

std::string utf8FromUtf16(std::string_view bytes, std::size_t* consumed) {
  constexpr std::uint32_t kReplacement = 0xfffd;
  std::string text;
  std::size_t at = 0;
  for (; at + 1 < bytes.size(); at += 2) {
    std::uint32_t unit = unitAt(bytes, at);
    if (unit == 0) {
      at += 2;
      break;
    }
    if (unit >= 0xd800 && unit < 0xdc00 && at + 3 < bytes.size()) {
      std::uint32_t low = unitAt(bytes, at + 2);
      if (low >= 0xdc00 && low < 0xe000) {
        appendUtf8(&text, 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00));
        at += 2;
        continue;
      }
    }
    appendUtf8(&text, unit >= 0xd800 && unit < 0xe000 ? kReplacement : unit);
  }
  if (consumed != nullptr) *consumed = at;
  return text;
}

}  // namespace Vantor::platform
