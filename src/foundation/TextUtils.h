// Small text helpers shared by the readers of the agent's text files.
#ifndef TARNWICK_FOUNDATION_TEXTUTILS_H_
#define TARNWICK_FOUNDATION_TEXTUTILS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Env.h"

namespace Vantor::TextUtils {

// Without leading and trailing blanks and control characters (below '!').
std::string_view trimmed(std::string_view text);
// ASCII letters in lower case; other bytes unchanged.
std::string lowered(std::string_view text);
// Control characters (C0, DEL and the C1 range of UTF-8) replaced, one replacement for each:
// text from outside must not break a record or a log line.
std::string withoutControls(std::string_view text, char replacement);
// The text with each byte that is not part of a well-formed UTF-8 character replaced by U+FFFD
// (three bytes), as a database that takes UTF-8 only stores it.
std::string validUtf8(std::string_view text);
// Text from outside as a terminal or a log shows it: valid UTF-8 (U+FFFD for what is not),
// each control character a '?', so that it cannot forge a line of its own.
std::string shown(std::string_view text);
// At most the first limit bytes of text (never half a UTF-8 character), and how long the
// rest was: what a log line shows of a field a sender chose.
std::string clipped(std::string_view text, std::size_t limit);
// The text as a JSON string, quotes included: valid UTF-8, control characters escaped.
std::string jsonString(std::string_view text);
// The most a text file of the agent's may hold: its configuration files are far smaller.
inline constexpr std::size_t kMaxTextFileBytes = 16 << 20;
// The whole content of a plain file; throws FileException when it cannot be read or is larger
// than kMaxTextFileBytes.
std::string readTextFile(platform::Env& env, const std::string& path);

}  // namespace Vantor::TextUtils

#endif  // TARNWICK_FOUNDATION_TEXTUTILS_H_
