// A netlink socket subscribed to the kernel's process connector, and what can be read of a
// process the moment it starts a program.
#ifndef TARNWICK_PLATFORM_POSIX_CONNECTORSOCKET_H_
#define TARNWICK_PLATFORM_POSIX_CONNECTORSOCKET_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/PosixIo.h"
#include "platform/posix/ProcConnector.h"

namespace Vantor::platform {

class ConnectorSocket {
 public:
  ConnectorSocket() = default;
  // Tells the connector this listener has gone.
  ~ConnectorSocket();
  ConnectorSocket(const ConnectorSocket&) = delete;
  ConnectorSocket& operator=(const ConnectorSocket&) = delete;

  // Whether this process may listen to the connector at all (errno set when not).
  static bool bindable();
  // Subscribes with a receive buffer of bufferBytes (the system's limit without the right to
  // exceed it). programStartsOnly: the kernel passes nothing else to this socket. False with
  // errno set.
  bool open(std::uint64_t bufferBytes, bool programStartsOnly);
  bool isOpen() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  std::uint64_t bufferBytes() const { return bufferBytes_; }
  // Appends the events that wait, up to a batch; the number of datagrams read, or -1 with
  // errno set (EAGAIN: none waits; ENOBUFS: the buffer overflowed and events were dropped).
  int receive(std::vector<ProcEvent>* events);

 private:
  bool tell(std::uint32_t operation);

  UniqueFd fd_;
  std::uint64_t bufferBytes_ = 0;
};

// What a process that has just started a program shows: the executable's path, else the
// kernel's command name (an ended process waiting for its parent has no executable left);
// its real user; its parent.
struct StartFacts {
  std::string image;
  std::optional<std::uint32_t> uid;
  std::uint32_t parentPid = 0;
};

// Reads pid at once; change carries what earlier events told of it.
StartFacts readStart(const ProcChange& change);

// Fills in what a reading of a process could not know, or knew less surely than the events
// of change: its parent, and the user of one gone before it was read.
void completeStart(const ProcChange& change, StartFacts* facts);

}  // namespace Vantor::platform

#endif  // TARNWICK_PLATFORM_POSIX_CONNECTORSOCKET_H_
