#include "usage/ModuleFilter.h"

#include <algorithm>
#include <set>

#include "foundation/Exception.h"
#include "foundation/TextUtils.h"
#include "foundation/Wildcard.h"

namespace Vantor {

namespace {

std::string_view beforeComment(std::string_view text) {
  return TextUtils::trimmed(text.substr(0, text.find('#')));
}

bool matches(std::string_view pattern, std::string_view loweredName) {
  return !pattern.empty() && wildcardMatch(pattern, loweredName);
}

}  // namespace

bool ModuleFilter::loadModuleFilter(platform::Env& env, const std::string& path) {
  std::string text;
  try {
    text = TextUtils::readTextFile(env, path);
  } catch (const Exception&) {
    return false;
  }
  parse(text);
  return true;
}

void ModuleFilter::parse(std::string_view text) {
  std::vector<Section> sections;
  Section current;
  std::set<std::string, std::less<>> known;  // the current section's patterns
  auto keep = [&] {
    if (!current.patterns.empty()) sections.push_back(std::move(current));
    current = Section{};
    known.clear();
  };
  while (!text.empty()) {
    std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = TextUtils::trimmed(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '+' || line.front() == '-') {
      keep();
      current.kind = line.front() == '+' ? Kind::kInclude : Kind::kExclude;
      std::size_t equals = line.find('=');
      if (TextUtils::lowered(line).find("host") != std::string::npos &&
          equals != std::string_view::npos) {
        current.hostPattern = TextUtils::lowered(beforeComment(line.substr(equals + 1)));
      }
      continue;
    }
    std::string pattern = TextUtils::lowered(beforeComment(line));
    if (!pattern.empty() && known.insert(pattern).second) {
      current.patterns.push_back(std::move(pattern));
    }
  }
  keep();
  sections_ = std::move(sections);
}

bool ModuleFilter::matchModuleFilter(std::string_view computerName,
                                     std::string_view moduleName) const {
  if (sections_.empty()) return true;
  std::string computer = TextUtils::lowered(computerName);
  std::string module = TextUtils::lowered(moduleName);
  for (const Section& section : sections_) {
    bool nameMatches = std::any_of(section.patterns.begin(), section.patterns.end(),
                                   [&](const std::string& p) { return matches(p, module); });
    if (!nameMatches) continue;
    bool hostMatches = section.hostPattern == "*" || matches(section.hostPattern, computer);
    if (hostMatches) return section.kind == Kind::kInclude;
    if (section.kind != Kind::kInclude) return true;
  }
  return false;
}

}  // namespace Vantor
