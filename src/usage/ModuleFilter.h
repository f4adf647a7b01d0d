// Which module names are recorded on which computer: a text file of sections, each a list of
// name patterns ("*" any run, "?" one character, compared without regard to case). Lines
// before the first header form a plain section (record everywhere); "+ host=PATTERN" starts
// an include section (record on the hosts it names only), "- host=PATTERN" an exclude
// section (record everywhere but there). The first section that decides, decides; an empty
// filter records every module. Immutable once loaded: share it freely.
#ifndef TARNWICK_USAGE_MODULEFILTER_H_
#define TARNWICK_USAGE_MODULEFILTER_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/Env.h"

namespace Vantor {

class ModuleFilter {
 public:
  // False when the file cannot be read; the filter is then left as it was.
  bool loadModuleFilter(platform::Env& env, const std::string& path);
  // Reads the filter from the file's text.
  void parse(std::string_view text);
  bool matchModuleFilter(std::string_view computerName, std::string_view moduleName) const;
  bool empty() const { return sections_.empty(); }

 private:
  enum class Kind { kPlain, kInclude, kExclude };
  struct Section {
    Kind kind = Kind::kPlain;
    std::string hostPattern;            // lower case; empty matches no host
    std::vector<std::string> patterns;  // lower case, each once, in file order
  };

  std::vector<Section> sections_;
};

}  // namespace Vantor

#endif  // TARNWICK_USAGE_MODULEFILTER_H_
