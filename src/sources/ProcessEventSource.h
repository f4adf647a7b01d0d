// What the status monitor asks of the worker that reports process starts and ends, whichever
// source it reads them from.
#ifndef TARNWICK_SOURCES_PROCESSEVENTSOURCE_H_
#define TARNWICK_SOURCES_PROCESSEVENTSOURCE_H_

#include <cstdint>

namespace Vantor {

class ProcessEventSource {
 public:
  virtual ~ProcessEventSource() = default;
  // True while the events are being handled.
  virtual bool isRunning() const = 0;
  // The start stamp of a process started when the events began to be handled: processes
  // started later are the events' to tell.
  virtual std::uint64_t runningSince() const = 0;
  // True when the worker gave up before its events began: it will not run.
  virtual bool hasGivenUp() const { return false; }
  // The events the source knows it lost since the agent started; a full poll repairs each.
  virtual std::uint64_t eventsLost() const = 0;
  // Whether polls stand in for events that do not come (a driver lost, or not there yet).
  virtual bool pollsStandIn() const { return false; }
};

}  // namespace Vantor

#endif  // TARNWICK_SOURCES_PROCESSEVENTSOURCE_H_
