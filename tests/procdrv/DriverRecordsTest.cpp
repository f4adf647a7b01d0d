// What passes from the kernel to the driver and from the driver to the agent: the eBPF
// program's records read as events, and batches of records with their facts. Bytes from either
// side that do not make a record give none, never a wrong one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "procdrv/BpfRecord.h"
#include "procdrv/RecordQueue.h"
#include "procdrv/bpf/process_events.h"
#include "sources/DriverProtocol.h"

namespace Vantor::procdrv {
namespace {

constexpr BpfClocks kClocks{1'000'000'000, 100};

// An exec record of the parts given innermost first.
std::vector<std::uint8_t> execRecord(const std::vector<std::string>& parts,
                                     unsigned short flags = 0) {
  process_event_exec record{};
  record.head.kind = PROCESS_EVENT_EXEC;
  record.head.pid = 4242;
  record.head.parent_pid = 1;
  record.head.uid = 65534;
  record.head.start_ns = 12'345'678'901;
  record.head.time_ns = 12'500'000'000;
  record.head.flags = flags;
  std::size_t used = 0;
  for (const std::string& part : parts) {
    std::memcpy(record.path + used, part.c_str(), part.size() + 1);
    used += part.size() + 1;
  }
  record.head.path_bytes = static_cast<unsigned short>(used);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&record);
  return {bytes, bytes + sizeof record.head + used};
}

std::optional<platform::StreamedEvent> decode(const std::vector<std::uint8_t>& bytes) {
  return decodeBpfRecord(bytes.data(), bytes.size(), kClocks);
}

TEST(BpfRecordTest, AnExecGivesTheCanonicalPathUserAndTheStampOfProcStat) {
  std::optional<platform::StreamedEvent> event = decode(execRecord({"true", "bin", "usr"}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->type, platform::kTraceTypeStart);
  EXPECT_EQ(event->pid, 4242u);
  EXPECT_EQ(event->fields.parentPid, 1u);
  EXPECT_EQ(event->fields.uid, 65534u);
  EXPECT_EQ(event->fields.image, "/usr/bin/true");
  // Ticks of 10 ms since boot, as /proc/PID/stat counts them; the monotonic clock for the time.
  EXPECT_EQ(event->startStamp, 1234u);
  EXPECT_EQ(event->startNanos, 12'345'678'901u);
  EXPECT_EQ(event->timeNanos, 11'500'000'000u);
  // A name may hold any byte but '/' and the zero.
  event = decode(execRecord({"a b\n\x01:c", "dir"}));
  ASSERT_TRUE(event);
  EXPECT_EQ(event->fields.image, "/dir/a b\n\x01:c");
}

TEST(BpfRecordTest, ADeletedFileIsMarkedAndACutOrBrokenPathIsNoPath) {
  EXPECT_EQ(decode(execRecord({"gone", "tmp"}, PROCESS_EVENT_DELETED))->fields.image,
            "/tmp/gone (deleted)");
  // No path rather than a wrong one: the agent then reads the process itself.
  EXPECT_EQ(decode(execRecord({"tail", "of", "a", "long"}, PROCESS_EVENT_PATH_CUT))->fields.image,
            "");
  EXPECT_EQ(decode(execRecord({"a", "", "b"}))->fields.image, "");
  EXPECT_EQ(decode(execRecord({"a/b", "c"}))->fields.image, "");
  EXPECT_EQ(decode(execRecord({}))->fields.image, "");
  std::vector<std::uint8_t> unended = execRecord({"a", "b"});
  unended.back() = 'x';
  EXPECT_EQ(decode(unended)->fields.image, "");
}

TEST(BpfRecordTest, RecordsShortOrOfAnUnknownKindGiveNoEvent) {
  std::vector<std::uint8_t> record = execRecord({"true", "bin"});
  // The path's length beyond the record.
  EXPECT_FALSE(decode(std::vector<std::uint8_t>(record.begin(), record.end() - 1)));
  EXPECT_FALSE(decode(std::vector<std::uint8_t>(record.begin(), record.begin() + 8)));
  EXPECT_FALSE(decodeBpfRecord(nullptr, 0, kClocks));
  process_event_head head{};
  head.kind = 7;
  EXPECT_FALSE(decodeBpfRecord(reinterpret_cast<const std::uint8_t*>(&head), sizeof head, kClocks));
}

TEST(BpfRecordTest, AnEndGivesTheShellsStatusAndTellsAProcessThatRanNoProgram) {
  process_event_head head{};
  head.kind = PROCESS_EVENT_EXIT;
  head.pid = 77;
  head.status = 137;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&head);
  std::optional<platform::StreamedEvent> end = decodeBpfRecord(bytes, sizeof head, kClocks);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->type, platform::kTraceTypeEnd);
  EXPECT_EQ(end->fields.exitStatus, 137);
  head.flags = PROCESS_EVENT_NEVER_EXECED;
  EXPECT_EQ(decodeBpfRecord(bytes, sizeof head, kClocks)->type, platform::kTraceTypeEndOfUnstarted);
}

DriverRecord recordOf(std::uint32_t pid, DriverRecordKind kind) {
  DriverRecord record;
  record.pid = pid;
  record.time = driverTimeOfUnixNanos(1'700'000'000'000'000'000);
  record.created = static_cast<std::uint32_t>(kind);
  return record;
}

TEST(DriverBatchTest, RecordsAndFactsPassWholeAndAFullBatchLeavesTheRestQueued) {
  RecordQueue queue(16);
  queue.countLost(3);
  DriverFacts started;
  started.image = "/usr/bin/true";
  started.sid = "S-1-22-1-0";
  started.startStamp = 1234;
  started.startNanos = 12'345'678'901;
  ASSERT_TRUE(queue.push(recordOf(10, DriverRecordKind::kCreated), started));
  DriverFacts ended;
  ended.exitStatus = 130;
  ended.startStamp = 1234;
  ASSERT_TRUE(queue.push(recordOf(10, DriverRecordKind::kEnded), ended));
  DriverFacts unseen;
  unseen.startUnseen = true;
  ASSERT_TRUE(queue.push(recordOf(11, DriverRecordKind::kEnded), unseen));

  // Room for the lost record and the start, not for the end after them: the count, then each
  // record with the length of its facts, and the facts (12 bytes, the stamp, sid and path).
  std::uint32_t room = 4 + 2 * (kDriverRecordSize + 4) + 12 + (12 + 16 + 10 + 13);
  std::vector<std::uint8_t> first = queue.takeBatch(99, room);
  std::optional<std::vector<DriverBatchEntry>> entries = decodeDriverBatch(first);
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].record.kind(), DriverRecordKind::kRecordsLost);
  EXPECT_EQ((*entries)[0].record.exitStatus, 3u);
  EXPECT_EQ((*entries)[1].record.pid, 10u);
  EXPECT_EQ((*entries)[1].facts.image, "/usr/bin/true");
  EXPECT_EQ((*entries)[1].facts.sid, "S-1-22-1-0");
  EXPECT_EQ((*entries)[1].facts.startStamp, 1234u);
  EXPECT_EQ((*entries)[1].facts.startNanos, 12'345'678'901u);

  entries = decodeDriverBatch(queue.takeBatch(100, kLeastDriverBatch));
  ASSERT_TRUE(entries);
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].facts.exitStatus, 130);
  EXPECT_EQ((*entries)[0].facts.startStamp, 1234u);
  EXPECT_TRUE((*entries)[1].facts.startUnseen);
  EXPECT_EQ((*entries)[1].facts.startStamp, 0u);
  EXPECT_TRUE(queue.takeBatch(101, kLeastDriverBatch).empty());
  EXPECT_EQ(queue.handedOut(), 3u);
  EXPECT_EQ(queue.lostInKernel(), 3u);
}

TEST(DriverBatchTest, BytesThatAreNoBatchGiveNone) {
  std::vector<std::uint8_t> batch;
  DriverFacts facts;
  facts.image = "/bin/sh";
  facts.startStamp = 9;
  ASSERT_TRUE(appendDriverBatchEntry(batch, recordOf(5, DriverRecordKind::kCreated), facts,
                                     kLeastDriverBatch));
  ASSERT_TRUE(decodeDriverBatch(batch));
  // A count beyond the entries, bytes left over, and facts cut short.
  std::vector<std::uint8_t> counted = batch;
  counted[0] = 2;
  EXPECT_FALSE(decodeDriverBatch(counted));
  counted[0] = 0xff;
  counted[3] = 0xff;
  EXPECT_FALSE(decodeDriverBatch(counted));
  std::vector<std::uint8_t> longer = batch;
  longer.push_back(0);
  EXPECT_FALSE(decodeDriverBatch(longer));
  std::vector<std::uint8_t> shorter(batch.begin(), batch.end() - 1);
  EXPECT_FALSE(decodeDriverBatch(shorter));
  // A stamp announced but not there.
  std::vector<std::uint8_t> stampless = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(decodeDriverFacts(stampless));
  // A path or identifier beyond its limit is left out, never cut to name another file.
  DriverFacts tooLong;
  tooLong.image = "/" + std::string(kMaxImage, 'x');
  tooLong.sid = "S-1-22-1-" + std::string(kMaxSidText, '9');
  std::optional<DriverFacts> omitted = decodeDriverFacts(encodeDriverFacts(tooLong));
  ASSERT_TRUE(omitted);
  EXPECT_EQ(omitted->image, "");
  EXPECT_EQ(omitted->sid, "");
  // The facts of a driver that knows no stamps read as before.
  std::optional<DriverFacts> old =
      decodeDriverFacts({1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, '/', 'x'});
  ASSERT_TRUE(old);
  EXPECT_EQ(old->exitStatus, 7);
  EXPECT_EQ(old->image, "/x");
  EXPECT_EQ(old->startStamp, 0u);
}

}  // namespace
}  // namespace Vantor::procdrv
