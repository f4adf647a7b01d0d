#include "platform/posix/ProcConnector.h"

#include "platform/Unaligned.h"

#include <cstring>

namespace Vantor::platform {

namespace {

constexpr std::size_t kNetlinkHeader = 16;
constexpr std::size_t kConnectorHeader = 20;
constexpr std::size_t kEventHeader = 16;  // what, cpu, timestamp
constexpr std::uint16_t kNetlinkDone = 3;
constexpr std::uint32_t kConnectorProcIndex = 1;
constexpr std::uint32_t kConnectorProcValue = 1;
// A sequence beyond any machine's processors is not tracked.
constexpr std::uint32_t kMostProcessors = 8192;

}  // namespace

bool parseProcEvent(const std::uint8_t* data, std::size_t size, ProcEvent* event) {
  if (size < kNetlinkHeader + kConnectorHeader + kEventHeader) return false;
  std::uint32_t length = readUnaligned<std::uint32_t>(data);
  if (length > size || length < kNetlinkHeader + kConnectorHeader + kEventHeader ||
      readUnaligned<std::uint16_t>(data + 4) != kNetlinkDone) {
    return false;
  }
  const std::uint8_t* connector = data + kNetlinkHeader;
  std::uint16_t payload = readUnaligned<std::uint16_t>(connector + 16);
  if (readUnaligned<std::uint32_t>(connector) != kConnectorProcIndex ||
      readUnaligned<std::uint32_t>(connector + 4) != kConnectorProcValue || payload < kEventHeader ||
      kNetlinkHeader + kConnectorHeader + payload > length) {
    return false;
  }
  const std::uint8_t* body = connector + kConnectorHeader;
  *event = ProcEvent();
  event->sequence = readUnaligned<std::uint32_t>(connector + 8);
  event->what = readUnaligned<std::uint32_t>(body);
  event->cpu = readUnaligned<std::uint32_t>(body + 4);
  event->timeNanos = readUnaligned<std::uint64_t>(body + 8);
  const std::uint8_t* fields = body + kEventHeader;
  std::size_t available = payload - kEventHeader;
  auto needs = [&](std::size_t bytes) { return available >= bytes; };
  switch (static_cast<ProcEventKind>(event->what)) {
    case ProcEventKind::kFork:
      if (!needs(16)) return false;
      event->parentTgid = readUnaligned<std::uint32_t>(fields + 4);
      event->pid = readUnaligned<std::uint32_t>(fields + 8);
      event->tgid = readUnaligned<std::uint32_t>(fields + 12);
      return true;
    case ProcEventKind::kExec:
    case ProcEventKind::kUid:
    case ProcEventKind::kExit:
      if (!needs(8)) return false;
      event->pid = readUnaligned<std::uint32_t>(fields);
      event->tgid = readUnaligned<std::uint32_t>(fields + 4);
      break;
    default:
      return true;
  }
  if (event->what == static_cast<std::uint32_t>(ProcEventKind::kUid)) {
    if (!needs(12)) return false;
    event->realUid = readUnaligned<std::uint32_t>(fields + 8);
  } else if (event->what == static_cast<std::uint32_t>(ProcEventKind::kExit)) {
    if (!needs(12)) return false;
    event->exitCode = readUnaligned<std::uint32_t>(fields + 8);
  }
  return true;
}

std::int32_t shellStatus(std::uint32_t waitStatus) {
  std::uint32_t signal = waitStatus & 0x7f;
  if (signal != 0) return 128 + static_cast<std::int32_t>(signal);
  return static_cast<std::int32_t>((waitStatus >> 8) & 0xff);
}

void ProcEventTracker::countGap(const ProcEvent& event) {
  if (event.cpu >= kMostProcessors) return;
  if (nextSequence_.size() <= event.cpu) nextSequence_.resize(event.cpu + 1);
  std::optional<std::uint32_t>& next = nextSequence_[event.cpu];
  // Unsigned distance: a sequence that wrapped still counts; one that went back (a message
  // out of order) counts nothing.
  if (next) {
    std::uint32_t gap = event.sequence - *next;
    if (gap < 0x80000000u) lost_ += gap;
  }
  next = event.sequence + 1;
}

ProcChange ProcEventTracker::handle(const ProcEvent& event) {
  ProcChange change;
  // Acknowledgements to any listener take a number of their processor's sequence too.
  countGap(event);
  if (event.what == static_cast<std::uint32_t>(ProcEventKind::kNone)) return change;
  switch (static_cast<ProcEventKind>(event.what)) {
    case ProcEventKind::kFork:
      // A new thread of a process is no process of its own.
      if (event.pid == event.tgid) tracked_[event.tgid] = {true, event.parentTgid, {}};
      return change;
    case ProcEventKind::kUid:
      if (event.pid == event.tgid) tracked_[event.tgid].realUid = event.realUid;
      return change;
    case ProcEventKind::kExec: {
      change.kind = ProcChange::kStart;
      change.pid = event.tgid;
      auto known = tracked_.find(event.tgid);
      if (known != tracked_.end()) {
        Tracked& process = known->second;
        change.parentPid = process.parent;
        change.realUid = process.realUid;
        process.forkedOnly = false;
      }
      return change;
    }
    case ProcEventKind::kExit: {
      change.pid = event.tgid;
      change.exitStatus = shellStatus(event.exitCode);
      if (event.pid != event.tgid) {
        change.kind = ProcChange::kThreadEnd;
        return change;
      }
      auto known = tracked_.find(event.tgid);
      bool forkedOnly = known != tracked_.end() && known->second.forkedOnly;
      if (known != tracked_.end()) tracked_.erase(known);
      change.kind = forkedOnly ? ProcChange::kForkedEnd : ProcChange::kEnd;
      return change;
    }
    default:
      return change;
  }
}

}  // namespace Vantor::platform
