#include "config/ConfReader.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "config/ConfTokenizer.h"
#include "foundation/ConfigException.h"
#include "foundation/FileException.h"
#include "foundation/FilePlain.h"
#include "foundation/FileUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/TimeException.h"
#include "platform/ThreadCancellation.h"

namespace Vantor {

namespace {

using Entry = ConfReader::Entry;

// How long a build waits for another build before it gives up.
constexpr auto kBuildLockPatience = std::chrono::seconds(5);

// Reads the tokens of one block into parent; true when a "}" closed it, false at the end of
// the text. Throws ConfigException on a syntax error, which includes a text that ends inside
// an entry or a block (cut short) and a "}" that closes no block; what was parsed stays in
// parent.
class Parser {
 public:
  Parser(std::string_view text, const LoggerUnit& logger) : tokens_(text), logger_(logger) {}

  bool parseBlock(Entry* parent, int depth) {
    if (depth > ConfReader::kMaxDepth) syntaxError("ConfReader: Blocks nested too deep.");
    std::string_view token;
    while (nextToken(&token)) {
      if (token == "}") {
        if (depth == 0) syntaxError("ConfReader: A '}' closes no block.");
        return true;
      }
      auto entry = std::make_unique<Entry>();
      entry->name = std::string(token);
      entry->line = lineNumber();
      expectToken(&token);
      if (token != "(") syntaxError("ConfReader: Missing '('.");
      expectToken(&token);
      if (token != ")") {
        entry->type = std::string(token);
        expectToken(&token);
        if (token != ")") syntaxError("ConfReader: Missing ')'.");
      }
      expectToken(&token);
      if (token != "=") syntaxError("ConfReader: Missing '='.");
      expectToken(&token);
      entry->value = storedValue(token);
      expectToken(&token);
      if (token != "{") syntaxError("ConfReader: Missing '{'.");
      Entry* child = entry.get();
      parent->children.push_back(std::move(entry));
      if (!parseBlock(child, depth + 1)) syntaxError("ConfReader: The text ends inside a block.");
    }
    return false;
  }

  std::size_t lineNumber() const { return tokens_.lineNumber(); }
  // What the last syntax error was, without the reader's name.
  std::string reason() const { return reason_; }

 private:
  bool nextToken(std::string_view* token) {
    while (tokens_.next(token)) {
      if (*token != "\n") return true;
    }
    return false;
  }

  void expectToken(std::string_view* token) {
    if (!nextToken(token)) syntaxError("ConfReader: The text ends inside an entry.");
  }

  // Without its quotes; each backslash stays and swallows the character after it.
  static std::string storedValue(std::string_view token) {
    if (token.size() >= 2 && (token.front() == '"' || token.front() == '\'') &&
        token.back() == token.front()) {
      token = token.substr(1, token.size() - 2);
    }
    std::string value;
    for (std::size_t i = 0; i < token.size(); ++i) {
      value.push_back(token[i]);
      if (token[i] == '\\') ++i;
    }
    return value;
  }

  [[noreturn]] void syntaxError(const char* what) {
    logger_.debug(1, what);
    reason_ = std::string_view(what).substr(std::string_view(what).find(' ') + 1);
    throw ConfigException(ConfigException::CF_CONF, "", __FILE__, __LINE__);
  }

  ConfTokenizer tokens_;
  const LoggerUnit& logger_;
  std::string reason_;
};

// Exact, case-sensitive, first match only: no backtracking to later entries of the same name.
const Entry* lookup(const Entry* entry, std::string_view key) {
  if (entry == nullptr || key.empty()) return nullptr;
  std::size_t dot = key.find('.');
  std::string_view first = key.substr(0, dot);
  for (const auto& child : entry->children) {
    if (child->name == first) {
      return dot == std::string_view::npos ? child.get() : lookup(child.get(), key.substr(dot + 1));
    }
  }
  return nullptr;
}

}  // namespace

ConfReader::ConfReader(std::shared_ptr<LogSender> sender)
    : logger_(std::move(sender), kModuleConfiguration) {
  logger_.debug(5, "ConfReader: Created.");
}

ConfReader::~ConfReader() { logger_.debug(5, "ConfReader: Destroyed."); }

std::shared_ptr<const Entry> ConfReader::snapshot() const {
  platform::MutexLock lock(&rootMutex_);
  return root_;
}

void ConfReader::install(std::shared_ptr<const Entry> root) {
  platform::MutexLock lock(&rootMutex_);
  root_ = std::move(root);
}

bool ConfReader::build(platform::Env& env, const std::string& fileName) {
  logger_.debug(2, "ConfReader: Building DOM tree from file \"%s\"...", fileName);
  std::string text;
  try {
    FilePlain file(env, fileName);
    file.open(FileBase::ACCESS_READ);
    std::uint64_t size = file.size();
    if (size > 0) file.readString(text, static_cast<std::size_t>(size));
    file.close();
  } catch (FileException& error) {
    error.addLocation(__FILE__, __LINE__);
    logger_.error(1, fileName, error.getCodeString());
    logger_.debug(1, "ConfReader: %s", error.getFullText());
    return false;
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    logger_.error(1, fileName, "Unknown");
    logger_.debug(1, "ConfReader: Unknown error while building DOM tree from file \"%s\".",
                  fileName);
    return false;
  }
  return parseInto(text, fileName);
}

bool ConfReader::buildFromText(std::string_view text, const std::string& fileName) {
  logger_.debug(2, "ConfReader: Building DOM tree from file \"%s\"...", fileName);
  return parseInto(text, fileName);
}

bool ConfReader::parseInto(std::string_view text, const std::string& fileName) {
  bool renewing = false;
  if (!buildLock_.tryEnforce(renewing, kBuildLockPatience)) {
    logger_.error(15, fileName);
    return false;
  }
  bool whole = false;
  std::optional<SyntaxError> syntaxError;
  auto root = std::make_shared<Entry>();
  root->name = "Root";
  Parser parser(text, logger_);
  try {
    parser.parseBlock(root.get(), 0);
    logger_.debug(2, "ConfReader: DOM tree built.");
    whole = true;
  } catch (ConfigException& error) {
    error.addLocation(__FILE__, __LINE__);
    logger_.error(2, fileName, error.getCodeString());
    logger_.debug(1, "ConfReader: %s, line %i.", error.getFullText(),
                  static_cast<std::int64_t>(parser.lineNumber()));
    syntaxError = SyntaxError{parser.lineNumber(), parser.reason()};
  } catch (const platform::ThreadCancellation&) {
    buildLock_.relax();
    throw;
  } catch (...) {
    logger_.error(1, fileName, "Unknown");
    logger_.debug(1, "ConfReader: Unknown error while building DOM tree from file \"%s\".",
                  fileName);
  }
  install(std::move(root));
  {
    platform::MutexLock lock(&rootMutex_);
    syntaxError_ = std::move(syntaxError);
    fileName_ = fileName;
  }
  buildLock_.relax();
  return whole;
}

void ConfReader::warnOfValue(const std::string& key, const std::string& problem) const {
  std::shared_ptr<const Entry> root;
  std::string file;
  {
    platform::MutexLock lock(&rootMutex_);
    root = root_;
    file = fileName_;
  }
  const Entry* entry = lookup(root.get(), key);
  logger_.warning(16, file, static_cast<std::int64_t>(entry != nullptr ? entry->line : 0), key,
                  problem);
}

std::optional<ConfReader::SyntaxError> ConfReader::syntaxError() const {
  platform::MutexLock lock(&rootMutex_);
  return syntaxError_;
}

int ConfReader::get(const std::string& key, const std::string& type, std::string& out) const {
  logger_.debug(5, "ConfReader: Getting %s %s...", type, key);
  std::shared_ptr<const Entry> root = snapshot();
  const Entry* entry = lookup(root.get(), key);
  if (entry == nullptr) {
    logger_.debug(5, "ConfReader: Not found.");
    return CONF_NOT_FOUND;
  }
  if (entry->type.empty()) {
    logger_.debug(5, "ConfReader: Found, but has no value.");
    return CONF_NO_VALUE;
  }
  if (entry->type != type) {
    logger_.debug(1, "ConfReader: Found, but type is \"%s\", not \"%s\".", entry->type, type);
    warnOfValue(key, "is a " + entry->type + ", not a " + type);
    return CONF_WRONG_TYPE;
  }
  std::string value = entry->value;
  logger_.debug(5, "ConfReader: Got raw value \"%s\".", value);
  for (int substitutions = 0;; ++substitutions) {
    std::size_t open = value.find("${");
    if (open == std::string::npos) break;
    std::size_t close = value.find('}', open + 2);
    if (close == std::string::npos || substitutions >= kMaxSubstitutions) {
      logger_.error(3, key);
      return CONF_BAD_REFERENCE;
    }
    const Entry* referred =
        lookup(root.get(), std::string_view(value).substr(open + 2, close - open - 2));
    if (referred == nullptr) {
      logger_.debug(5, "ConfReader: Found, but reference inside value was not.");
      return CONF_NOT_FOUND;
    }
    if (referred->type.empty()) {
      logger_.debug(5, "ConfReader: Found, but reference inside value didn't have a value.");
      return CONF_NO_VALUE;
    }
    std::string replacement = referred->value;
    if (referred->type == "DirName") {
      replacement = std::string(TextUtils::trimmed(replacement));
      if (replacement.empty()) {
        logger_.debug(5, "ConfReader: Found, but the path it refers to is empty.");
        return CONF_NO_VALUE;
      }
      replacement = FileUtils::ensureTrailingSeparator(replacement);
    }
    logger_.debug(5, "ConfReader: Reference \"%s\" = \"%s\".", value.substr(open, close - open + 1),
                  replacement);
    value.replace(open, close - open + 1, replacement);
  }
  // Blanks around a path are the file's layout, not part of the path; an empty path names no
  // place (it would become the root directory).
  if (type == "DirName" || type == "FileName") {
    value = std::string(TextUtils::trimmed(value));
    if (value.empty()) {
      logger_.debug(5, "ConfReader: Found, but the path is empty.");
      return CONF_NO_VALUE;
    }
  }
  if (type == "DirName") {
    value = FileUtils::ensureTrailingSeparator(FileUtils::normaliseSeparators(value));
  } else if (type == "FileName") {
    value = FileUtils::normaliseSeparators(value);
  }
  logger_.debug(5, "ConfReader: Got final value \"%s\".", value);
  out = std::move(value);
  return CONF_OK;
}

int ConfReader::getString(const std::string& key, std::string& out, bool trim,
                          bool lowerCase) const {
  std::string value;
  int status = get(key, "String", value);
  if (status != CONF_OK) return status;
  if (trim) value = std::string(TextUtils::trimmed(value));
  if (lowerCase) value = TextUtils::lowered(value);
  out = std::move(value);
  return CONF_OK;
}

int ConfReader::getBool(const std::string& key, bool& out) const {
  std::string value;
  int status = get(key, "Bool", value);
  if (status != CONF_OK) return status;
  if (value != "true" && value != "false") {
    warnOfValue(key, "is neither true nor false");
    return CONF_BAD_BOOL;
  }
  out = value == "true";
  return CONF_OK;
}

int ConfReader::getInteger(const std::string& key, std::int32_t& out) const {
  std::string value;
  int status = get(key, "Integer", value);
  if (status != CONF_OK) return status;
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) ++i;
  bool negative = i < value.size() && value[i] == '-';
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) ++i;
  std::int64_t number = 0;
  for (; i < value.size() && value[i] >= '0' && value[i] <= '9'; ++i) {
    number = std::min<std::int64_t>(number * 10 + (value[i] - '0'), 0x80000000LL);
  }
  if (negative) number = -number;
  out = static_cast<std::int32_t>(std::clamp<std::int64_t>(number, INT32_MIN, INT32_MAX));
  return CONF_OK;
}

int ConfReader::getDirName(const std::string& key, std::string& out) const {
  return get(key, "DirName", out);
}

int ConfReader::getFileName(const std::string& key, std::string& out) const {
  return get(key, "FileName", out);
}

int ConfReader::getTimeSpan(const std::string& key, TimeSpanFields& out) const {
  std::string value;
  int status = get(key, "TimeSpan", value);
  if (status != CONF_OK) return status;
  try {
    out = TimeSpan(value).breakdown();
  } catch (const TimeException&) {
    warnOfValue(key, "is no time span (as PT5M or P1D)");
    return CONF_BAD_TIMESPAN;
  }
  return CONF_OK;
}

}  // namespace Vantor
