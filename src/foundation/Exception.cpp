#include "foundation/Exception.h"

namespace Vantor {

Exception::Exception(std::int32_t code) : code_(code) {}

Exception::Exception(std::int32_t code, std::string detail, std::string_view sourceFile,
                     std::int32_t line)
    : code_(code), detail_(std::move(detail)) {
  addLocation(sourceFile, line);
}

void Exception::addLocation(std::string_view sourceFile, std::int32_t line) {
  if (sourceFile.empty()) return;
  std::string_view name = sourceFile;
  std::string_view::size_type separator = name.find_last_of("\\/");
  if (separator != std::string_view::npos) name.remove_prefix(separator + 1);
  // "ConfReader.cpp" is recorded as "ConfReader.": the extension goes, its dot stays.
  std::string_view::size_type dot = name.rfind('.');
  if (dot != std::string_view::npos) name = name.substr(0, dot + 1);
  locations_.push_back({std::string(name), line});
}

std::string Exception::getCodeString() const {
  return std::to_string(classNumber()) + "." + std::to_string(code_);
}

std::string Exception::description() const { return describe("Exception", ""); }

std::string Exception::describe(std::string_view category, std::string_view text) const {
  std::string result(category);
  result += ": ";
  result += text.empty() ? std::string_view("Unknown error") : text;
  result += " (Code: " + getCodeString() + ")";
  return result;
}

std::string Exception::getFullText() const {
  std::string text = description();
  if (!detail_.empty()) text += "\r\n  >  (" + detail_ + ")";
  if (!locations_.empty()) {
    text += "\r\n  >  ";
    for (std::size_t i = 0; i < locations_.size(); ++i) {
      if (i > 0) text += " - ";
      text += locations_[i].name + "(" + std::to_string(locations_[i].line) + ")";
    }
  }
  return text;
}

const char* Exception::what() const noexcept {
  try {
    what_ = getFullText();
    return what_.c_str();
  } catch (...) {
    return "Exception";
  }
}

}  // namespace Vantor
