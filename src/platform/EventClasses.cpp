#include "platform/EventClasses.h"

#include <algorithm>

#include "platform/TraceSession.h"

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

// The process events that the trace session emits, as the system documents them: the layout
// it writes (version 2) and the older one (version 1), each with pointer-sized fields whose
// width the system's pointers decide.
namespace {

EventProperty property(std::string name, std::uint32_t cimType, std::int64_t dataId,
                       Qualifiers more = {}) {
  more.emplace("WmiDataId", dataId);
  return {std::move(name), cimType, std::move(more)};
}

EventProperty pointer(std::string name, std::int64_t dataId) {
  return property(std::move(name), kCimUint32, dataId, {{"Pointer", std::int64_t{1}}});
}

EventProperty sid(std::int64_t dataId) {
  return property("UserSID", kCimObject, dataId, {{"Extension", std::string("Sid")}});
}

EventProperty image(std::int64_t dataId) {
  return property("ImageFileName", kCimString, dataId,
                  {{"StringTermination", std::string("NullTerminated")}});
}

void addVersion(EventClassSet& set, std::int64_t version, std::vector<std::int64_t> types,
                std::vector<EventProperty> properties) {
  std::string name = "Process_V" + std::to_string(version);
  set.add({name,
           "MSNT_SystemTrace",
           {{"Guid", guidText(kProcessEventGuid)}, {"EventVersion", version}},
           {}});
  set.add({name + "_TypeGroup1", name, {{"EventType", std::move(types)}}, std::move(properties)});
}

}  // namespace

EventClassSet documentedProcessEventClasses() {
  EventClassSet set;
  set.add({"EventTrace", "", {}, {}});
  set.add({"MSNT_SystemTrace", "EventTrace", {}, {}});
  set.add({"EventTraceEvent", "EventTrace", {{"Guid", guidText(kEventTraceHeaderGuid)}}, {}});
  addVersion(set, 1, {1, 2, 3, 4},
             {property("ProcessId", kCimUint32, 2), pointer("PageDirectoryBase", 1),
              property("ParentId", kCimUint32, 3), property("SessionId", kCimUint32, 4),
              property("ExitStatus", kCimSint32, 5), sid(6), image(7)});
  addVersion(
      set, 2, {1, 2, 3, 4, 39},
      {property("ProcessId", kCimUint32, 2), pointer("UniqueProcessKey", 1),
       property("ParentId", kCimUint32, 3), property("SessionId", kCimUint32, 4),
       property("ExitStatus", kCimSint32, 5), pointer("DirectoryTableBase", 6), sid(7), image(8),
       property(
           "CommandLine", kCimString, 9,
           {{"Format", std::string("w")}, {"StringTermination", std::string("NullTerminated")}})});
  return set;
}

}  // namespace Vantor::platform
