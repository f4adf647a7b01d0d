// Process event records decoded through the event class descriptions: both layouts the
// classes describe, at both pointer widths, and every kind of property a class may declare.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/Env.h"
#include "platform/posix/ProcessEventData.h"
#include "sources/EventDecoder.h"
#include "support/LogCapture.h"
#include "support/SystemEnv.h"

namespace Vantor {
namespace {

using platform::EventClass;
using platform::EventClassSet;
using platform::EventProperty;
using platform::Qualifiers;

// The classes as the system documents them, kept for the decoders made from them.
platform::EventClasses& documentedClasses() {
  static auto* classes = new platform::EventClassSet(platform::documentedProcessEventClasses());
  return *classes;
}

platform::EventTrace recordOf(const std::vector<std::uint8_t>& data, std::uint8_t type,
                              std::uint16_t version) {
  platform::EventTrace record;
  record.type = type;
  record.version = version;
  record.guid = platform::kProcessEventGuid;
  record.timeStamp = (1796600000LL + 11644473600LL) * 10000000LL;
  record.mofData = data.data();
  record.mofLength = static_cast<std::uint32_t>(data.size());
  return record;
}

class EventDecoderTest : public ::testing::Test {
 protected:
  testing::LogCapture capture_;
  LoggerUnit logger_{capture_.sender(), kModuleTarnwick};
};

TEST_F(EventDecoderTest, ProcessEventsOfEitherLayoutAndWidthDecodeAlike) {
  for (std::uint16_t version : {1, 2}) {
    for (bool wide : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "version " << version << (wide ? " wide" : " narrow"));
      EventDecoder decoder(testing::systemEnv(), documentedClasses(), logger_, wide);
      platform::ProcessEventFields fields{4242, 17, 0, 0u, "/usr/bin/true"};
      std::vector<std::uint8_t> start = platform::processEventData(fields, {version, wide});
      ProcessEvent started = decoder.decode(recordOf(start, platform::kTraceTypeStart, version));
      EXPECT_EQ(started.state, ProcessState::Started);
      EXPECT_EQ(started.pid, 4242u);
      EXPECT_EQ(started.parentPid, 17u);
      EXPECT_EQ(started.image, "/usr/bin/true");
      ASSERT_TRUE(started.user);
#ifdef _WIN32
      // Windows has no account for a Unix uid: the identifier names it.
      EXPECT_EQ(started.user->first, "S-1-22-1-0");
#else
      EXPECT_EQ(started.user->first, "root");
#endif
      EXPECT_EQ(started.time.getValue(), 1796600000);

      fields = {4242, 17, 128 + 9, std::nullopt, "sleep"};
      std::vector<std::uint8_t> end = platform::processEventData(fields, {version, wide});
      ProcessEvent ended = decoder.decode(recordOf(end, platform::kTraceTypeEnd, version));
      EXPECT_EQ(ended.state, ProcessState::Ended);
      EXPECT_EQ(ended.exitCode, 137u);
      EXPECT_EQ(ended.image, "sleep");
      // No account in the event: named by nobody, not unknown.
      ASSERT_TRUE(ended.user);
      EXPECT_EQ(ended.user->first, "");
    }
  }
}

TEST_F(EventDecoderTest, RecordsThatDoNotFitAreLeftUndecodedOrCutShort) {
  EventDecoder decoder(testing::systemEnv(), documentedClasses(), logger_, true);
  std::vector<std::uint8_t> data = platform::processEventData({7, 1, 0, 0u, "/bin/x"}, {2, true});
  // A version the classes do not describe, a type that is neither start nor end.
  EXPECT_EQ(decoder.decode(recordOf(data, platform::kTraceTypeStart, 9)).pid, 0u);
  EXPECT_EQ(decoder.decode(recordOf(data, 39, 2)).state, ProcessState::Unknown);
  // The class named through a pointer in the header.
  platform::EventTrace byPointer = recordOf(data, platform::kTraceTypeStart, 2);
  byPointer.guid = {};
  byPointer.flags = platform::kWnodeFlagUseGuidPtr;
  byPointer.guidPointer = &platform::kProcessEventGuid;
  EXPECT_EQ(decoder.decode(byPointer).pid, 7u);
  byPointer.guidPointer = nullptr;
  EXPECT_EQ(decoder.decode(byPointer).pid, 0u);
  // Cut inside the image name: what came before it stays.
  for (std::size_t cut = 0; cut < data.size(); ++cut) {
    std::vector<std::uint8_t> shorter(data.begin(), data.begin() + static_cast<long>(cut));
    ProcessEvent event = decoder.decode(recordOf(shorter, platform::kTraceTypeStart, 2));
    EXPECT_TRUE(event.image.empty() || event.image == "/bin/x");
    if (cut >= 12) {
      EXPECT_EQ(event.pid, 7u);
    }
  }
}

// A class that declares one property of each kind a layout may hold.
EventClassSet classesWith(std::vector<EventProperty> properties) {
  EventClassSet set;
  set.add({"EventTrace", "", {}, {}});
  set.add({"Probe",
           "EventTrace",
           {{"Guid", std::string("{11111111-2222-3333-4444-555555555555}")}},
           {}});
  set.add({"Probe_Start", "Probe", {{"EventType", std::int64_t{1}}}, std::move(properties)});
  return set;
}

EventProperty numbered(std::string name, std::uint32_t type, std::int64_t id,
                       Qualifiers more = {}) {
  more.emplace("WmiDataId", id);
  return {std::move(name), type, std::move(more)};
}

template <typename Value>
void put(std::vector<std::uint8_t>& data, Value value) {
  std::uint8_t bytes[sizeof value];
  std::memcpy(bytes, &value, sizeof value);
  data.insert(data.end(), bytes, bytes + sizeof value);
}

TEST_F(EventDecoderTest, EveryKindOfPropertyIsSteppedOverOrStored) {
  using namespace platform;
  EventClassSet classes = classesWith({
      numbered("Small", kCimSint16, 1),
      numbered("Flags", kCimUint16 | kCimArrayFlag, 2, {{"MAX", std::int64_t{3}}}),
      numbered("Big", kCimSint64, 3),
      numbered("Yes", kCimBoolean, 4),
      numbered("Id", kCimUint8, 5, {{"Extension", std::string("Guid")}}),
      numbered("Raw", kCimUint8 | kCimArrayFlag, 6, {{"MAX", std::int64_t{2}}}),
      numbered("Letter", kCimChar16, 7),
      numbered("Wide", kCimString, 8,
               {{"Format", std::string("w")}, {"StringTermination", std::string("Counted")}}),
      numbered("Reversed", kCimString, 9, {{"StringTermination", std::string("ReverseCounted")}}),
      numbered("Odd", kCimString, 10, {{"StringTermination", std::string("Whatever")}}),
      numbered("ProcessId", kCimUint32, 11, {{"Description", std::string("ProcessId")}}),
      numbered("ImageFileName", kCimString, 12, {{"StringTermination", std::string("NotCounted")}}),
  });
  EventDecoder decoder(testing::systemEnv(), classes, logger_, false);
  std::vector<std::uint8_t> data;
  put<std::int16_t>(data, -2);
  for (std::uint16_t flag : {1, 2, 3}) put(data, flag);
  put<std::int64_t>(data, -5);
  put<std::uint32_t>(data, 1);
  for (int i = 0; i < 16; ++i) data.push_back(static_cast<std::uint8_t>(i));
  data.insert(data.end(), {9, 9});
  put<std::uint16_t>(data, 'x');
  put<std::uint16_t>(data, 2);  // "hé" in UTF-16
  put<std::uint16_t>(data, 'h');
  put<std::uint16_t>(data, 0xe9);
  data.insert(data.end(), {0, 3, 'a', 'b', 'c'});
  put<std::uint32_t>(data, 31337);
  for (char c : std::string("/opt/tool")) data.push_back(static_cast<std::uint8_t>(c));

  platform::EventTrace record = recordOf(data, 1, 0);
  record.guid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  ProcessEvent event = decoder.decode(record);
  EXPECT_EQ(event.pid, 31337u);
  EXPECT_EQ(event.image, "/opt/tool");

  // Each value as stored, walking the same layout by hand.
  PropertyList list;
  ASSERT_TRUE(decoder.getPropertyList(*classes.subclasses("Probe", false)[0], &list));
  EventValues values;
  const std::uint8_t* at = data.data();
  const std::uint8_t* end = data.data() + data.size();
  for (const PropertyLayout& property : list) {
    at = decoder.getPropertyValue(property, at, static_cast<std::size_t>(end - at), &values);
    ASSERT_NE(at, nullptr) << property.name;
    if (property.name == "Wide") {
      EXPECT_EQ(values.text, "h\xc3\xa9");
    } else if (property.name == "Reversed") {
      EXPECT_EQ(values.text, "abc");
    } else if (property.name == "Odd") {
      EXPECT_EQ(values.text, "");
    }
  }
  EXPECT_EQ(at, end);
  EXPECT_EQ(values.sint16, -2);
  EXPECT_EQ(values.uint16, 3);  // an array keeps its last element
  EXPECT_EQ(values.sint64, -5);
  EXPECT_TRUE(values.boolean);
  EXPECT_EQ(values.guid[15], 15);
}

TEST_F(EventDecoderTest, PropertiesThatCannotBeReadEndTheWalkAndKeepWhatCameBefore) {
  using namespace platform;
  std::vector<std::uint8_t> data;
  put<std::uint32_t>(data, 77);
  put<std::uint32_t>(data, 88);
  struct Case {
    const char* what;
    EventProperty second;
  } cases[] = {
      {"an array without MAX", numbered("Ids", kCimUint32 | kCimArrayFlag, 2)},
      {"an object without Extension", numbered("Who", kCimObject, 2)},
      {"an object of another extension",
       numbered("Port", kCimObject, 2, {{"Extension", std::string("Port")}})},
      {"a type outside the table", numbered("Real", 5, 2)},
      {"a string without its terminator", numbered("Name", kCimString, 2)},
  };
  for (const Case& probe : cases) {
    SCOPED_TRACE(probe.what);
    EventClassSet classes = classesWith(
        {numbered("ProcessId", kCimUint32, 1), probe.second, numbered("ParentId", kCimUint32, 3)});
    EventDecoder decoder(testing::systemEnv(), classes, logger_, false);
    platform::EventTrace record = recordOf(data, 1, 0);
    record.guid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
    ProcessEvent event = decoder.decode(record);
    EXPECT_EQ(event.pid, 77u);
    EXPECT_EQ(event.parentPid, 0u);
  }
  // A class whose properties do not each have their own place decodes nothing.
  EventClassSet twice =
      classesWith({numbered("ProcessId", kCimUint32, 1), numbered("ParentId", kCimUint32, 1)});
  PropertyList list;
  EventDecoder decoder(testing::systemEnv(), twice, logger_, false);
  EXPECT_FALSE(decoder.getPropertyList(*twice.subclasses("Probe", false)[0], &list));
}

}  // namespace
}  // namespace Vantor
