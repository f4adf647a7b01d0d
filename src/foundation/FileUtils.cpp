#include "foundation/FileUtils.h"

#include "foundation/TextUtils.h"
#include "platform/PathSeparator.h"

namespace Vantor::FileUtils {

namespace {

std::string_view::size_type lastSeparator(std::string_view path) {
  return path.find_last_of("\\/");
}

// Position of the extension's dot, looking only inside the base name.
std::string_view::size_type extensionDot(std::string_view path) {
  std::string_view::size_type dot = path.rfind('.');
  std::string_view::size_type separator = lastSeparator(path);
  if (dot == std::string_view::npos || (separator != std::string_view::npos && dot < separator)) {
    return std::string_view::npos;
  }
  return dot;
}

}  // namespace

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isAbsolute(std::string_view path) {
  return (!path.empty() && isSeparator(path.front())) ||
         (path.size() > 2 && path[1] == ':' && isSeparator(path[2]));
}

std::string dirName(std::string_view path) {
  std::string_view::size_type separator = lastSeparator(path);
  return separator == std::string_view::npos ? std::string()
                                             : std::string(path.substr(0, separator + 1));
}

std::string baseName(std::string_view path) {
  std::string_view::size_type separator = lastSeparator(path);
  return std::string(separator == std::string_view::npos ? path : path.substr(separator + 1));
}

std::string extension(std::string_view path) {
  std::string_view::size_type dot = extensionDot(path);
  return dot == std::string_view::npos ? std::string() : std::string(path.substr(dot + 1));
}

std::string removeExtension(std::string_view path) {
  return std::string(path.substr(0, extensionDot(path)));
}

std::string normaliseSeparators(std::string_view path) {
  if (path.empty()) return std::string();
  std::string result(1, path[0]);
  for (std::string_view::size_type i = 1; i < path.size(); ++i) {
    if (!isSeparator(path[i])) {
      result.push_back(path[i]);
    } else if (result.size() < 2 || !isSeparator(result.back())) {
      result.push_back(platform::kPathSeparator);
    }
  }
  return result;
}

std::string ensureTrailingSeparator(std::string_view path) {
  std::string result(path);
  if (result.empty() || !isSeparator(result.back())) result.push_back(platform::kPathSeparator);
  return result;
}

std::string stripTrailingSeparators(std::string_view path) {
  while (path.size() > 1 && isSeparator(path.back())) path.remove_suffix(1);
  return std::string(path);
}

bool isPlainFileName(std::string_view name) {
  if (name.find_first_of("?*") != std::string_view::npos) return false;
  return name.empty() || !isSeparator(name.back());
}

std::string foldCase(std::string_view path) {
  return platform::kFileNamesIgnoreCase ? TextUtils::lowered(path) : std::string(path);
}

}  // namespace Vantor::FileUtils
