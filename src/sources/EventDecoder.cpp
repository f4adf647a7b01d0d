#include "sources/EventDecoder.h"

#include <cstring>

#include "foundation/InventoryOps.h"
#include "foundation/TextUtils.h"
#include "platform/Unaligned.h"
#include "platform/Utf16.h"

namespace Vantor {

using platform::readUnaligned;

namespace {

constexpr int kFirstTracingVersion = 40;
constexpr int kLastDirectLayoutVersion = 50;
constexpr std::int64_t kFileTimeTicksPerSecond = 10000000;
constexpr std::int64_t kFileTimeUnixSeconds = 11644473600;
constexpr std::size_t kMostSubAuthorities = 15;
constexpr std::size_t kOldLayoutSidAt = 16;

DateTime eventTime(std::int64_t fileTime) {
  std::int64_t seconds = fileTime / kFileTimeTicksPerSecond - kFileTimeUnixSeconds;
  return DateTime(seconds < 0 ? 0 : seconds);
}

const std::string* textQualifier(const platform::Qualifiers& qualifiers, const char* name) {
  const platform::QualifierValue* value = platform::findQualifier(qualifiers, name);
  return value == nullptr ? nullptr : std::get_if<std::string>(value);
}

const std::int64_t* numberQualifier(const platform::Qualifiers& qualifiers, const char* name) {
  const platform::QualifierValue* value = platform::findQualifier(qualifiers, name);
  return value == nullptr ? nullptr : std::get_if<std::int64_t>(value);
}

// "S-1-22-1-1000" from the binary form.
std::string sidText(const std::uint8_t* sid, std::size_t subAuthorities) {
  std::uint64_t authority = 0;
  for (std::size_t i = 2; i < 8; ++i) authority = authority << 8 | sid[i];
  std::string text = "S-" + std::to_string(sid[0]) + "-" + std::to_string(authority);
  for (std::size_t i = 0; i < subAuthorities; ++i) {
    text += "-" + std::to_string(readUnaligned<std::uint32_t>(sid + 8 + 4 * i));
  }
  return text;
}

}  // namespace

EventDecoder::EventDecoder(platform::Env& env, platform::EventClasses& classes,
                           const LoggerUnit& logger, bool wide)
    : env_(env), classes_(classes), logger_(logger), wide_(wide) {}

ProcessEvent EventDecoder::decode(const platform::EventTrace& record) {
  ProcessEvent event;
  event.time = eventTime(record.timeStamp);
  int version = InventoryOps::windowsVersion(env_.systemFacts());
  if (version < kFirstTracingVersion) return event;
  if (record.type == platform::kTraceTypeStart) {
    event.state = ProcessState::Started;
  } else if (record.type == platform::kTraceTypeEnd ||
             record.type == platform::kTraceTypeEndOfUnstarted) {
    event.state = ProcessState::Ended;
    event.startUnseen = record.type == platform::kTraceTypeEndOfUnstarted;
  } else {
    return event;
  }
  if (record.mofLength == 0 || record.mofData == nullptr) return event;
  if (version <= kLastDirectLayoutVersion) {
    decodeOldLayout(record, &event);
    return event;
  }
  if (connected_ != 0) {
    connected_ = classes_.connect();
    if (connected_ == 1) {
      logger_.debug(1, "Process: Failed CoCreateInstance.");
      return event;
    }
    if (connected_ == 2) {
      logger_.debug(1, "Process: Failed ConnectServer.");
      return event;
    }
  }
  logger_.debug(4, "Process: Successfully connected to namespace.");
  bool byPointer = (record.flags & platform::kWnodeFlagUseGuidPtr) != 0;
  if (byPointer && record.guidPointer == nullptr) return event;
  const platform::TraceGuid& guid = byPointer ? *record.guidPointer : record.guid;
  if (const PropertyList* properties =
          propertiesOf(platform::guidText(guid), record.version, record.type)) {
    decodeData(*properties, record, &event);
  }
  return event;
}

const PropertyList* EventDecoder::propertiesOf(const std::string& guid, std::uint16_t version,
                                               std::uint8_t type) {
  auto key = std::make_tuple(guid, version, type);
  auto known = layouts_.find(key);
  if (known == layouts_.end()) {
    std::optional<PropertyList> properties;
    const platform::EventClass* eventClass = getEventClass(guid, version);
    const platform::EventClass* category =
        eventClass == nullptr ? nullptr : getEventCategoryClass(*eventClass, type);
    PropertyList list;
    if (category != nullptr && getPropertyList(*category, &list)) properties = std::move(list);
    known = layouts_.emplace(key, std::move(properties)).first;
  }
  return known->second ? &*known->second : nullptr;
}

void EventDecoder::decodeData(const PropertyList& properties, const platform::EventTrace& record,
                              ProcessEvent* event) {
  EventValues values;
  const std::uint8_t* at = record.mofData;
  const std::uint8_t* end = record.mofData + record.mofLength;
  for (const PropertyLayout& property : properties) {
    const std::uint8_t* next =
        getPropertyValue(property, at, static_cast<std::size_t>(end - at), &values);
    if (next == nullptr) break;
    at = next;
    if (property.name == "ProcessId") {
      event->pid = values.uint32;
    } else if (property.name == "ParentId") {
      event->parentPid = values.uint32;
    } else if (property.name == "UserSID") {
      if (!Process::isUnknown(values.sidUser)) event->user = {values.sidUser, values.sidDomain};
    } else if (property.name == "ImageFileName") {
      event->image = values.text;
    } else if (property.name == "ExitStatus") {
      event->exitCode = static_cast<std::uint32_t>(values.sint32);
    }
  }
}

void EventDecoder::decodeOldLayout(const platform::EventTrace& record, ProcessEvent* event) {
  const std::uint8_t* data = record.mofData;
  if (record.mofLength < 12) return;
  event->pid = readUnaligned<std::uint32_t>(data);
  event->parentPid = readUnaligned<std::uint32_t>(data + 4);
  if (readUnaligned<std::uint32_t>(data + 8) == 0 || record.mofLength < kOldLayoutSidAt + 8) return;
  std::size_t count = data[kOldLayoutSidAt + 1];
  if (count > kMostSubAuthorities || record.mofLength < kOldLayoutSidAt + 8 + 4 * count) return;
  std::string user;
  std::string domain;
  if (accounts_.lookup(sidText(data + kOldLayoutSidAt, count), &user, &domain)) {
    event->user = {user, domain};
  }
}

const platform::EventClass* EventDecoder::getEventClass(const std::string& guid,
                                                        std::int64_t version) const {
  std::string wanted = TextUtils::lowered(guid);
  for (const platform::EventClass* candidate : classes_.subclasses("EventTrace", true)) {
    const std::string* classGuid = textQualifier(candidate->qualifiers, "Guid");
    if (classGuid == nullptr || TextUtils::lowered(*classGuid) != wanted) continue;
    const platform::QualifierValue* classVersion =
        platform::findQualifier(candidate->qualifiers, "EventVersion");
    if (classVersion == nullptr) return candidate;
    const std::int64_t* number = std::get_if<std::int64_t>(classVersion);
    if (number != nullptr && *number == version) return candidate;
  }
  return nullptr;
}

const platform::EventClass* EventDecoder::getEventCategoryClass(
    const platform::EventClass& eventClass, std::int64_t type) const {
  for (const platform::EventClass* category : classes_.subclasses(eventClass.name, false)) {
    const platform::QualifierValue* types =
        platform::findQualifier(category->qualifiers, "EventType");
    if (types == nullptr) continue;
    if (const auto* list = std::get_if<std::vector<std::int64_t>>(types)) {
      for (std::int64_t listed : *list) {
        if (listed == type) return category;
      }
    } else if (const std::int64_t* single = std::get_if<std::int64_t>(types)) {
      if (*single == type) return category;
    }
  }
  return nullptr;
}

bool EventDecoder::getPropertyList(const platform::EventClass& eventClass,
                                   PropertyList* list) const {
  const std::vector<platform::EventProperty>& properties = eventClass.properties;
  std::vector<const platform::EventProperty*> ordered(properties.size(), nullptr);
  for (const platform::EventProperty& property : properties) {
    const std::int64_t* dataId = numberQualifier(property.qualifiers, "WmiDataId");
    // Each property needs its own place among the data.
    if (dataId == nullptr || *dataId < 1 || *dataId > static_cast<std::int64_t>(ordered.size()) ||
        ordered[*dataId - 1] != nullptr) {
      return false;
    }
    ordered[*dataId - 1] = &property;
  }
  list->clear();
  for (const platform::EventProperty* property : ordered) {
    PropertyLayout layout;
    layout.name = getPropertyName(*property);
    layout.cimType = property->cimType & ~platform::kCimArrayFlag;
    layout.array = (property->cimType & platform::kCimArrayFlag) != 0;
    layout.pointer = platform::findQualifier(property->qualifiers, "Pointer") != nullptr;
    if (const std::int64_t* max = numberQualifier(property->qualifiers, "MAX")) {
      layout.maxCount = *max;
    }
    if (const std::string* extension = textQualifier(property->qualifiers, "Extension")) {
      layout.extension = *extension;
    }
    layout.wideText = platform::findQualifier(property->qualifiers, "Format") != nullptr;
    if (const std::string* termination = textQualifier(property->qualifiers, "StringTermination")) {
      layout.termination = *termination;
    }
    list->push_back(std::move(layout));
  }
  return true;
}

std::string EventDecoder::getPropertyName(const platform::EventProperty& property) {
  const std::string* description = textQualifier(property.qualifiers, "Description");
  return description != nullptr ? *description : property.name;
}

const std::uint8_t* EventDecoder::getPropertyValue(const PropertyLayout& property,
                                                   const std::uint8_t* at, std::size_t remaining,
                                                   EventValues* values) {
  if (property.pointer) {
    std::size_t size = wide_ ? 8 : 4;
    if (remaining < size) return nullptr;
    values->pointer = wide_ ? readUnaligned<std::uint64_t>(at) : readUnaligned<std::uint32_t>(at);
    return at + size;
  }
  std::int64_t count = 1;
  if (property.array) {
    if (!property.maxCount) {
      logger_.debug(1, "getPropertyValue: Failed to retrieve the MAX qualifier.");
      return nullptr;
    }
    count = *property.maxCount;
  }
  const std::uint8_t* end = at + remaining;
  for (std::int64_t element = 0; element < count; ++element) {
    std::size_t left = static_cast<std::size_t>(end - at);
    auto fixed = [&](std::size_t size) { return left >= size ? at + size : nullptr; };
    const std::uint8_t* next = nullptr;
    switch (property.cimType) {
      case platform::kCimSint16:
        if ((next = fixed(2))) values->sint16 = readUnaligned<std::int16_t>(at);
        break;
      case platform::kCimSint32:
        if ((next = fixed(4))) values->sint32 = readUnaligned<std::int32_t>(at);
        break;
      case platform::kCimUint16:
        if ((next = fixed(2))) values->uint16 = readUnaligned<std::uint16_t>(at);
        break;
      case platform::kCimUint32:
        if ((next = fixed(4))) values->uint32 = readUnaligned<std::uint32_t>(at);
        break;
      case platform::kCimSint64:
        if ((next = fixed(8))) values->sint64 = readUnaligned<std::int64_t>(at);
        break;
      case platform::kCimUint64:
        if ((next = fixed(8))) values->uint64 = readUnaligned<std::uint64_t>(at);
        break;
      case platform::kCimBoolean:
        if ((next = fixed(4))) values->boolean = readUnaligned<std::uint32_t>(at) != 0;
        break;
      case platform::kCimSint8:
      case platform::kCimUint8:
        if (!property.extension) {
          // Bytes without a meaning of their own are only stepped over.
          next = fixed(1);
        } else if ((next = fixed(16)) && *property.extension == "Guid") {
          std::memcpy(values->guid.data(), at, 16);
        }
        break;
      case platform::kCimChar16:
        next = fixed(2);
        break;
      case platform::kCimString:
        next = readString(property, at, left, &values->text);
        break;
      case platform::kCimObject:
        if (!property.extension) {
          logger_.debug(1, "Object data type is missing Extension qualifier.");
        } else if (*property.extension != "Sid") {
          logger_.debug(1, "Unknown CIM type");
        } else {
          next = readSid(at, left, values);
        }
        break;
      default:
        logger_.debug(1, "Unknown CIM type");
        break;
    }
    if (next == nullptr) return nullptr;
    // An element of no bytes: every later one is the same.
    if (next == at) break;
    at = next;
  }
  return at;
}

const std::uint8_t* EventDecoder::readString(const PropertyLayout& property, const std::uint8_t* at,
                                             std::size_t remaining, std::string* text) const {
  std::size_t unit = property.wideText ? 2 : 1;
  auto textOf = [&](const std::uint8_t* from, std::size_t bytes) {
    std::string_view raw(reinterpret_cast<const char*>(from), bytes);
    if (property.wideText) return platform::utf8FromUtf16(raw, nullptr);
    return std::string(raw.substr(0, std::min(raw.find('\0'), raw.size())));
  };
  const std::string& termination = property.termination;
  if (termination == "NullTerminated") {
    for (std::size_t offset = 0; offset + unit <= remaining; offset += unit) {
      bool terminator = at[offset] == 0 && (unit == 1 || at[offset + 1] == 0);
      if (!terminator) continue;
      *text = textOf(at, offset);
      return at + offset + unit;
    }
    return nullptr;
  }
  if (termination == "Counted" || termination == "ReverseCounted") {
    if (remaining < 2) return nullptr;
    std::uint16_t length = readUnaligned<std::uint16_t>(at);
    if (termination == "ReverseCounted")
      length = static_cast<std::uint16_t>(length << 8 | length >> 8);
    std::size_t bytes = std::size_t{length} * unit;
    if (remaining - 2 < bytes) return nullptr;
    *text = textOf(at + 2, bytes);
    return at + 2 + bytes;
  }
  if (termination == "NotCounted") {
    std::size_t bytes = remaining / unit * unit;
    *text = textOf(at, bytes);
    return at + bytes;
  }
  text->clear();
  return at;
}

const std::uint8_t* EventDecoder::readSid(const std::uint8_t* at, std::size_t remaining,
                                          EventValues* values) {
  if (remaining < 4) return nullptr;
  if (readUnaligned<std::uint32_t>(at) == 0) {
    values->sidUser.clear();
    values->sidDomain.clear();
    return at + 4;
  }
  // A TOKEN_USER: the SID's address and attributes come first.
  std::size_t sidAt = wide_ ? 16 : 8;
  if (remaining < sidAt + 8) return nullptr;
  const std::uint8_t* sid = at + sidAt;
  std::size_t count = sid[1];
  std::size_t sidBytes = 8 + 4 * count;
  if (count > kMostSubAuthorities || remaining < sidAt + sidBytes) return nullptr;
  std::string user;
  std::string domain;
  if (accounts_.lookup(sidText(sid, count), &user, &domain)) {
    values->sidUser = user;
    values->sidDomain = domain;
  }
  return sid + sidBytes;
}

}  // namespace Vantor
