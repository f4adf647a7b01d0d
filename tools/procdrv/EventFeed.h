// Where the driver's process events come from: the kernel's process connector, or an eBPF
// program in the kernel. Both give the same events; the eBPF one gives each at the kernel's
// own moment, with the start stamp that binds it to its process.
#ifndef TARNWICK_TOOLS_PROCDRV_EVENTFEED_H_
#define TARNWICK_TOOLS_PROCDRV_EVENTFEED_H_

#include <cstdint>
#include <deque>
#include <string>

#include "platform/posix/ProcessEventStream.h"

namespace Vantor::procdrv {

class EventFeed {
 public:
  virtual ~EventFeed() = default;
  // Waits up to waitMillis for events, and takes every one that waits, oldest first.
  virtual std::deque<platform::StreamedEvent> take(int waitMillis) = 0;
  // Events the kernel could not hand over, since the start.
  virtual std::uint64_t lost() const = 0;
  // "bpf" or "connector", as --source names it.
  virtual const char* name() const = 0;
  // How long the records may gather before they are queued for the agent, in milliseconds.
  virtual int batchMillis() const = 0;
  // Stops the events at their source and takes what is left; a line of what came and what
  // was lost since the start, for the driver's last words (empty when there is none).
  virtual std::string finish() = 0;
};

class ConnectorFeed : public EventFeed {
 public:
  ConnectorFeed() : stream_(platform::ProcessEventStream::kDefaultBufferBytes) {}
  // A Win32 error code; 0 once the events flow.
  std::uint32_t start() { return stream_.start(true); }
  std::deque<platform::StreamedEvent> take(int waitMillis) override {
    return stream_.take(waitMillis);
  }
  std::uint64_t lost() const override { return stream_.lost(); }
  const char* name() const override { return "connector"; }
  // Short: a start the stream could not name is read by the agent, racing the process's end.
  int batchMillis() const override { return 20; }
  std::string finish() override {
    stream_.stop();
    return {};
  }

 private:
  platform::ProcessEventStream stream_;
};

}  // namespace Vantor::procdrv

#endif  // TARNWICK_TOOLS_PROCDRV_EVENTFEED_H_
