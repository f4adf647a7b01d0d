#include "config/ConfTokenizer.h"

#include <algorithm>

namespace Vantor {

namespace {

bool isBlank(char c) { return static_cast<unsigned char>(c) < '!' && c != '\n'; }

bool isDelimiter(char c) {
  return c == '=' || c == '(' || c == ')' || c == '{' || c == '}' || c == '\n';
}

bool isQuote(char c) { return c == '"' || c == '\''; }

}  // namespace

bool ConfTokenizer::next(std::string_view* token) {
  while (position_ < text_.size() && isBlank(text_[position_])) ++position_;
  if (position_ >= text_.size()) return false;
  std::size_t start = position_;
  char first = text_[start];
  if (first == '#') {
    std::size_t end = text_.find('\n', start);
    position_ = end == std::string_view::npos ? text_.size() : end;
  } else if (isQuote(first)) {
    std::size_t i = start + 1;
    while (i < text_.size() && text_[i] != first) i += text_[i] == '\\' ? 2 : 1;
    position_ = std::min(i + 1, text_.size());
  } else if (first == '/' && start + 1 < text_.size() && text_[start + 1] == '/') {
    std::size_t end = text_.find('\n', start);
    position_ = end == std::string_view::npos ? text_.size() : end;
    *token = text_.substr(start, position_ - start);
    if (!token->empty() && token->back() == '\r') token->remove_suffix(1);
    return true;
  } else if (first == '/' && start + 1 < text_.size() && text_[start + 1] == '*') {
    std::size_t end = text_.find("*/", start + 2);
    position_ = end == std::string_view::npos ? text_.size() : end + 2;
  } else if (isDelimiter(first)) {
    position_ = start + 1;
  } else {
    std::size_t i = start;
    while (i < text_.size()) {
      char c = text_[i];
      if (isBlank(c) || isDelimiter(c) || isQuote(c)) break;
      if (c == '/' && i + 1 < text_.size() && (text_[i + 1] == '/' || text_[i + 1] == '*')) break;
      ++i;
    }
    position_ = i;
  }
  *token = text_.substr(start, position_ - start);
  return true;
}

std::size_t ConfTokenizer::lineNumber() const {
  return 1 + static_cast<std::size_t>(std::count(
                 text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(position_), '\n'));
}

}  // namespace Vantor
