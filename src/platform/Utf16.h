// UTF-16 text (little-endian, as Windows stores it in files and event data) read as UTF-8.
#ifndef TARNWICK_PLATFORM_UTF16_H_
#define TARNWICK_PLATFORM_UTF16_H_

#include <string>
#include <string_view>

namespace Vantor::platform {

// Reads UTF-16 text up to its terminator or the end of bytes, as UTF-8; a lone surrogate
// becomes U+FFFD. consumed, when given, is set to the bytes read, the terminator included.
std::string utf8FromUtf16(std::string_view bytes, std::size_t* consumed);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_UTF16_H_
