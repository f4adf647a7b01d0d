#include "usage/ExeFinder.h"

#include <array>

#include "foundation/Exception.h"
#include "foundation/FileOps.h"
#include "foundation/FileUtils.h"
#include "foundation/TextUtils.h"
#include "platform/Env.h"
#include "platform/SystemFacts.h"
#include "platform/ThreadCancellation.h"
#include "platform/VersionInfo.h"
#include "usage/Process.h"

namespace Vantor {

namespace {

constexpr std::size_t kMostCachedPaths = 4096;

constexpr char kMappingFile[] = "components/appmapping.conf";
constexpr std::uint16_t kUsEnglish = 1033;
constexpr int kAttemptsPerTranslation = 3;
constexpr std::size_t kShortestCleanedName = 2;

// The code point of the UTF-8 sequence at text[at], advancing at; -1 for a damaged one.
std::int32_t nextCodePoint(std::string_view text, std::size_t& at) {
  auto byte = static_cast<unsigned char>(text[at++]);
  if (byte < 0x80) return byte;
  int extra = byte >= 0xf0 && byte < 0xf5 ? 3 : byte >= 0xe0 ? 2 : byte >= 0xc2 ? 1 : -1;
  if (extra < 0 || byte >= 0xf5) return -1;
  std::int32_t code = byte & (0x3f >> extra);
  for (int i = 0; i < extra; ++i) {
    if (at >= text.size() || (static_cast<unsigned char>(text[at]) & 0xc0) != 0x80) return -1;
    code = code << 6 | (static_cast<unsigned char>(text[at++]) & 0x3f);
  }
  bool overlong = (extra == 2 && code < 0x800) || (extra == 3 && code < 0x10000);
  return overlong || code > 0x10ffff || (code >= 0xd800 && code < 0xe000) ? -1 : code;
}

// Printable ASCII, tab, line feed, carriage return and the characters from 160 on, in UTF-8
// (the system's text): a name with control characters or damaged text is no name.
bool isPrintable(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    std::int32_t code = nextCodePoint(text, at);
    bool ok =
        code == '\t' || code == '\n' || code == '\r' || (code >= 32 && code <= 126) || code >= 160;
    if (!ok) return false;
  }
  return true;
}

// From the first character above a blank to the end, trimmed.
std::string versionText(const std::optional<std::string>& value) {
  if (!value) return "";
  std::string_view text = *value;
  std::size_t start = 0;
  while (start < text.size() && static_cast<unsigned char>(text[start]) <= 32) ++start;
  return std::string(TextUtils::trimmed(text.substr(start)));
}

}  // namespace

std::size_t ExeFinder::parseMappings(std::string_view text, Mappings* mappings) {
  mappings->clear();
  Kind remembered = kPlain;  // no keyword seen
  bool inBlock = false;
  std::size_t number = 0;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    std::string_view line = TextUtils::trimmed(raw);
    if (line.empty() || line.front() == '#') continue;
    std::string lower = TextUtils::lowered(line);
    if (!inBlock) {
      if (lower == "{") {
        if (remembered == kPlain) return number;
        inBlock = true;
      } else if (lower == "ignore") {
        remembered = kIgnore;
      } else if (lower == "mapalways") {
        remembered = kMapAlways;
      } else if (lower == "mapmedium") {
        remembered = kMapMedium;
      } else if (lower == "maplast") {
        remembered = kMapLast;
      } else {
        mappings->emplace(lower, Mapping{"", kPlain});
      }
      continue;
    }
    if (lower == "}") {
      inBlock = false;
      remembered = kPlain;
    } else if (remembered == kIgnore) {
      mappings->emplace(lower, Mapping{"", kIgnore});
    } else {
      std::size_t equals = line.find('=');
      std::string pattern = TextUtils::lowered(TextUtils::trimmed(line.substr(0, equals)));
      std::string name = equals == std::string_view::npos
                             ? ""
                             : std::string(TextUtils::trimmed(line.substr(equals + 1)));
      mappings->emplace(pattern, Mapping{name, remembered});
    }
  }
  return 0;
}

std::string ExeFinder::cleanName(const std::string& name) {
  std::string result = name;
  std::string lower = TextUtils::lowered(result);
  for (std::string_view suffix : {"application file", "application"}) {
    if (suffix.size() < lower.size() && lower.ends_with(suffix)) {
      result.resize(result.size() - suffix.size());
      while (result.size() > kShortestCleanedName &&
             static_cast<unsigned char>(result.back()) <= 32) {
        result.pop_back();
      }
      break;
    }
  }
  // A letter of any script counts: a name in Cyrillic or Hangul is a name. Characters from
  // U+00C0 on stand for letters; below that only ASCII letters are.
  for (std::size_t at = 0; at < result.size();) {
    std::int32_t code = nextCodePoint(result, at);
    if ((code >= 'a' && code <= 'z') || (code >= 'A' && code <= 'Z') || code >= 0xc0) {
      return result;
    }
  }
  return "";
}

ExeFinder::ExeFinder(platform::Env& env, const LoggerUnit& programLogger,
                     const LoggerUnit& agentLogger)
    : env_(env), programLogger_(programLogger), logger_(agentLogger) {
  logger_.debug(1, "ExeFinder: Created.");
}

ExeFinder::~ExeFinder() { logger_.debug(1, "ExeFinder: Destroyed."); }

std::string ExeFinder::mappingFolder(const ConfReader& reader) {
  std::string directory;
  if (reader.getDirName("Vantor.directories.conf", directory) != ConfReader::CONF_OK) return {};
  return FileUtils::dirName(FileUtils::ensureTrailingSeparator(directory) + kMappingFile);
}

void ExeFinder::loadApplicationMappings(const ConfReader& reader) {
  logger_.debug(1, "Loading application mappings...");
  std::string directory;
  if (reader.getDirName("Vantor.directories.conf", directory) != ConfReader::CONF_OK) {
    logger_.debug(1, "Unable to get configuration dir. Cannot load mappings.");
    return;
  }
  std::string path = FileUtils::ensureTrailingSeparator(directory) + kMappingFile;
  if (!FileOps::exists(env_, path)) {
    logger_.debug(1, "File \"%s\" does not exist. Cannot load mappings.", path);
    setMappings({});  // a file taken away takes its mappings with it
    return;
  }
  std::string text;
  try {
    text = TextUtils::readTextFile(env_, path);
  } catch (const Exception& error) {
    logger_.debug(1, error.getFullText());
    programLogger_.critical(21, "load application mappings");
    return;
  }
  Mappings mappings;
  if (std::size_t line = parseMappings(text, &mappings)) {
    programLogger_.error(6, static_cast<std::int64_t>(line), "Illegal '{'.");
    return;
  }
  setMappings(std::move(mappings));
  logger_.debug(1, "Application mappings loaded.");
}

void ExeFinder::setMappings(Mappings mappings) {
  platform::MutexLock lock(&mutex_);
  mappings_ = std::move(mappings);
}

bool ExeFinder::ignores(const std::string& product) {
  return product == kIgnored || Process::isUnknown(product);
}

std::string ExeFinder::find(const std::string& path) {
  if (path.empty()) return kUndefined;
  // A marker of what could not be read names no file, and keeps its case where file names
  // fold theirs.
  if (path == Process::kLost || path == Process::kAccessDenied || path == Process::kUnknown) {
    return path;
  }
  std::string key = FileUtils::foldCase(path);
  {
    platform::MutexLock lock(&mutex_);
    if (auto cached = cache_.find(key); cached != cache_.end()) {
      ExeInfo info = cached->second;
      return decideName(info);
    }
  }
  logger_.debug(5, "ExeFinder: No information stored about \"%s\". Checking file directly.", key);
  // The file is read without the lock: a slow read must not stop every other lookup.
  ExeInfo info;
  bool scanned = SMScan(info, key);
  info.fileName = FileUtils::baseName(key);
  platform::MutexLock lock(&mutex_);
  // Any user can run programs under ever new paths: the answers kept are bounded, and read
  // again when needed.
  if (cache_.size() >= kMostCachedPaths) cache_.clear();
  // Should another thread have read the same path meanwhile, its answer stays.
  info = cache_.emplace(key, info).first->second;
  std::string name = decideName(info);
  if (scanned) {
    logger_.debug(5, "ExeFinder: Stored \"%s\" = \"%s\" for future references.", key, name);
  } else if (name == kIgnored) {
    logger_.debug(5, "ExeFinder: Ignoring \"%s\".", key);
  } else {
    logger_.debug(5, "ExeFinder: No information found for \"%s\". Using \"%s\".", key, name);
  }
  return name;
}

std::string ExeFinder::decideName(ExeInfo& info) const {
  info.result.clear();
  if (!mappings_.empty()) {
    auto mapping = mappings_.find(TextUtils::lowered(FileUtils::removeExtension(info.fileName)));
    if (mapping != mappings_.end()) {
      const Mapping& found = mapping->second;
      switch (found.kind) {
        case kIgnore:
          return info.result = kIgnored;
        case kMapAlways:
          if (!found.name.empty()) return info.result = found.name;
          break;
        case kMapMedium:
          if (isPrintable(info.description)) {
            info.result = cleanName(info.description);
            if (!info.result.empty()) return info.result;
          }
          info.result = found.name;
          break;
        default:
          info.result = found.name;
      }
    }
  }
  if (!info.product.empty() || !info.description.empty()) {
    std::string product = isPrintable(info.product) ? info.product : "";
    std::string description = isPrintable(info.description) ? info.description : "";
    info.result = cleanName(description.empty() ? product : description);
    if (!info.result.empty()) {
      logger_.debug(5, "ExeFinder: Product name/description \"%s\" to \"%s\".", info.fileName,
                    info.result);
      return info.result;
    }
  }
  if (info.result.empty()) info.result = FileUtils::removeExtension(info.fileName);
  logger_.debug(5, "ExeFinder: Using \"%s\" to \"%s\".", info.fileName, info.result);
  return info.result;
}

bool ExeFinder::resolvePath(std::string& path) const {
  std::string done;
  std::size_t position = 0;
  while (position < path.size()) {
    std::size_t next = position + 1;
    while (next < path.size() && !FileUtils::isSeparator(path[next])) ++next;
    std::string_view component = std::string_view(path).substr(position, next - position);
    bool separated = FileUtils::isSeparator(component.front());
    std::string_view bare = separated ? component.substr(1) : component;
    std::string replacement;
    if (separated && bare.size() == 2 && bare[1] == ':') {
      replacement = std::string(bare);
    } else if (bare.size() > 2 && bare.front() == '%' && bare.back() == '%') {
      std::optional<std::string> value =
          env_.variables().get(std::string(bare.substr(1, bare.size() - 2)));
      if (!value) return false;
      replacement = *value;
    } else if (separated && TextUtils::lowered(bare) == "systemroot") {
      std::optional<std::string> windows = env_.systemFacts().windowsDirectory();
      if (!windows) return false;
      replacement = *windows;
    } else if (separated && bare == "??") {
      replacement.clear();
    } else {
      return false;
    }
    done += replacement;
    // Rewritten paths come from the other platform's conventions: read "\" as a separator.
    std::string candidate = FileUtils::normaliseSeparators(done + path.substr(next));
    if (FileUtils::isAbsolute(candidate) && FileOps::exists(env_, candidate)) {
      path = candidate;
      return true;
    }
    position = next;
  }
  return false;
}

bool ExeFinder::SMScan(ExeInfo& info, const std::string& path) const {
  logger_.debug(5, "SMScan: Getting file information...");
  try {
    std::string file = path;
    if (!(FileUtils::isAbsolute(file) && FileOps::exists(env_, file)) && !resolvePath(file))
      return false;
    platform::VersionInfo version;
    if (!env_.readVersionInfo(file, &version)) return false;
    for (auto [language, codePage] : version.translations) {
      for (int attempt = 0; attempt < kAttemptsPerTranslation; ++attempt) {
        std::string description = versionText(version.query(language, codePage, "FileDescription"));
        std::string fileVersion = versionText(version.query(language, codePage, "FileVersion"));
        std::string product = versionText(version.query(language, codePage, "ProductName"));
        if (!product.empty() || !description.empty()) {
          info.product = product;
          info.description = description;
          info.version = fileVersion;
          return true;
        }
        language = language != 0 ? 0 : kUsEnglish;
      }
    }
  } catch (const platform::ThreadCancellation&) {
    throw;
  } catch (...) {
    return false;
  }
  return false;
}

}  // namespace Vantor
