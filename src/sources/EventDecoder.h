// Reads kernel trace event records with the descriptions of their classes: the event's class
// by GUID and version, its category class by event type, the properties in "WmiDataId" order,
// and each value by its CIM type and qualifiers. What a class's description says is looked up
// once per class, version and type and kept, so an event costs a walk over its bytes only.
#ifndef TARNWICK_SOURCES_EVENTDECODER_H_
#define TARNWICK_SOURCES_EVENTDECODER_H_

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "logging/LoggerUnit.h"
#include "platform/EventClasses.h"
#include "platform/TraceSession.h"
#include "usage/Process.h"

namespace Vantor {

// The last value of each kind decoded from one event.
struct EventValues {
  std::uint64_t pointer = 0;
  std::int32_t sint32 = 0;
  std::uint32_t uint32 = 0;
  std::int64_t sint64 = 0;
  std::uint64_t uint64 = 0;
  bool boolean = false;
  std::array<std::uint8_t, 16> guid{};
  std::int16_t sint16 = 0;
  std::uint16_t uint16 = 0;
  std::string text;
  std::string sidUser = Process::kUnknown;
  std::string sidDomain = Process::kUnknown;
};

// One property as its class describes it: what a value's layout depends on.
struct PropertyLayout {
  std::string name;
  std::uint32_t cimType = 0;  // without the array flag
  bool pointer = false;
  bool array = false;
  std::optional<std::int64_t> maxCount;  // the "MAX" qualifier of an array
  std::optional<std::string> extension;
  bool wideText = false;  // a "Format" qualifier: UTF-16
  std::string termination = "NullTerminated";
};

// The properties in the order of their data.
using PropertyList = std::vector<PropertyLayout>;

// One thread at a time.
class EventDecoder {
 public:
  // wide: the event data carry 64-bit pointers.
  EventDecoder(platform::Env& env, platform::EventClasses& classes, const LoggerUnit& logger,
               bool wide);

  // What a process event record says; state Unknown for any other event.
  ProcessEvent decode(const platform::EventTrace& record);

  const platform::EventClass* getEventClass(const std::string& guid, std::int64_t version) const;
  const platform::EventClass* getEventCategoryClass(const platform::EventClass& eventClass,
                                                    std::int64_t type) const;
  // False when a property lacks its place in the data.
  bool getPropertyList(const platform::EventClass& eventClass, PropertyList* list) const;
  static std::string getPropertyName(const platform::EventProperty& property);
  // The position after the value, or null when it cannot be decoded from the bytes left.
  const std::uint8_t* getPropertyValue(const PropertyLayout& property, const std::uint8_t* at,
                                       std::size_t remaining, EventValues* values);
  // Forgets the account names looked up so far (accounts change).
  void forgetAccounts() { accounts_ = AccountNames(env_); }

 private:
  const PropertyList* propertiesOf(const std::string& guid, std::uint16_t version,
                                   std::uint8_t type);
  void decodeData(const PropertyList& properties, const platform::EventTrace& record,
                  ProcessEvent* event);
  void decodeOldLayout(const platform::EventTrace& record, ProcessEvent* event);
  const std::uint8_t* readString(const PropertyLayout& property, const std::uint8_t* at,
                                 std::size_t remaining, std::string* text) const;
  const std::uint8_t* readSid(const std::uint8_t* at, std::size_t remaining, EventValues* values);

  platform::Env& env_;
  platform::EventClasses& classes_;
  const LoggerUnit& logger_;
  const bool wide_;
  std::optional<int> connected_;
  std::map<std::tuple<std::string, std::uint16_t, std::uint8_t>, std::optional<PropertyList>>
      layouts_;
  AccountNames accounts_{env_};
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_EVENTDECODER_H_
