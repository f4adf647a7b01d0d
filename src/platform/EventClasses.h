// The descriptions of the system's trace event classes (the "root\WMI" namespace): classes
// derived from "EventTrace", their qualifiers ("Guid", "EventVersion", "EventType") and their
// properties with CIM types and qualifiers ("WmiDataId", "Pointer", "Extension", "Format",
// "StringTermination", "MAX", "Description"). They say how an event's data are laid out.
#ifndef TARNWICK_PLATFORM_EVENTCLASSES_H_
#define TARNWICK_PLATFORM_EVENTCLASSES_H_

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace Vantor::platform {

inline constexpr std::uint32_t kCimSint16 = 2;
inline constexpr std::uint32_t kCimSint32 = 3;
inline constexpr std::uint32_t kCimString = 8;
inline constexpr std::uint32_t kCimBoolean = 11;
inline constexpr std::uint32_t kCimObject = 13;
inline constexpr std::uint32_t kCimSint8 = 16;
inline constexpr std::uint32_t kCimUint8 = 17;
inline constexpr std::uint32_t kCimUint16 = 18;
inline constexpr std::uint32_t kCimUint32 = 19;
inline constexpr std::uint32_t kCimSint64 = 20;
inline constexpr std::uint32_t kCimUint64 = 21;
inline constexpr std::uint32_t kCimChar16 = 103;
inline constexpr std::uint32_t kCimArrayFlag = 0x2000;

// A qualifier's value: a number, a text, or a list of numbers.
using QualifierValue = std::variant<std::int64_t, std::string, std::vector<std::int64_t>>;
using Qualifiers = std::map<std::string, QualifierValue>;

// Null when the set has no qualifier of that name.
const QualifierValue* findQualifier(const Qualifiers& qualifiers, const std::string& name);

struct EventProperty {
  std::string name;
  std::uint32_t cimType = 0;
  Qualifiers qualifiers;
};

struct EventClass {
  std::string name;  // also its relative path
  std::string superclass;
  Qualifiers qualifiers;
  std::vector<EventProperty> properties;  // the class's own, not inherited ones
};

// Safe for concurrent use once built: the classes never change.
class EventClasses {
 public:
  virtual ~EventClasses() = default;

  // 0 when connected, 1 when the class service is missing, 2 when the namespace cannot be
  // opened.
  virtual int connect() = 0;
  // The classes derived from the named one: every generation below it (deep) or only its
  // direct subclasses. The pointers live as long as this object.
  virtual std::vector<const EventClass*> subclasses(const std::string& name, bool deep) const = 0;
};

// Classes held in memory: the built-in descriptions, and any a caller adds.
class EventClassSet : public EventClasses {
 public:
  void add(EventClass eventClass) { classes_.push_back(std::move(eventClass)); }
  int connect() override { return 0; }
  std::vector<const EventClass*> subclasses(const std::string& name, bool deep) const override;

 private:
  std::vector<EventClass> classes_;
};

// The process event classes as the system documents them, for a system whose class service
// lacks them, and for tests.
EventClassSet documentedProcessEventClasses();

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_EVENTCLASSES_H_
