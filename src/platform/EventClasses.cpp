#include "platform/EventClasses.h"

#include <algorithm>

namespace Vantor::platform {

const QualifierValue* findQualifier(const Qualifiers& qualifiers, const std::string& name) {
  auto found = qualifiers.find(name);
  return found == qualifiers.end() ? nullptr : &found->second;
}

std::vector<const EventClass*> EventClassSet::subclasses(const std::string& name, bool deep) const {
  std::vector<const EventClass*> found;
  std::vector<std::string> parents = {name};
  // Breadth first, so a deep walk lists each generation after the one above it.
  for (std::size_t next = 0; next < parents.size(); ++next) {
    for (const EventClass& candidate : classes_) {
      if (candidate.superclass != parents[next]) continue;
      found.push_back(&candidate);
      // A class listed twice (or a loop of classes) is walked once.
      if (deep && std::find(parents.begin(), parents.end(), candidate.name) == parents.end()) {
        parents.push_back(candidate.name);
      }
    }
  }
  return found;
}

}  // namespace Vantor::platform
