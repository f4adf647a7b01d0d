// Cuts configuration text into tokens: the delimiters '=', '(', ')', '{', '}' and newline are
// tokens of their own; blanks separate tokens; quoted text ('...' or "...", backslash escaping)
// is one token with its quotes; '#', "//" and "/*...*/" start comment tokens. Pure.
#ifndef TARNWICK_CONFIG_CONFTOKENIZER_H_
#define TARNWICK_CONFIG_CONFTOKENIZER_H_

#include <cstddef>
#include <string_view>

namespace Vantor {

class ConfTokenizer {
 public:
  explicit ConfTokenizer(std::string_view text) : text_(text) {}

  // The next token; false at the end of the text.
  bool next(std::string_view* token);
  // 1 + the newlines before the current position.
  std::size_t lineNumber() const;

 private:
  std::string_view text_;
  std::size_t position_ = 0;
};

}  // namespace Vantor

#endif  // TARNWICK_CONFIG_CONFTOKENIZER_H_
