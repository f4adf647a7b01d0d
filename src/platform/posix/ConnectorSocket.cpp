#include "platform/posix/ConnectorSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/posix/ProcText.h"

namespace Vantor::platform {

namespace {

constexpr std::size_t kBatch = 64;
constexpr std::size_t kDatagramBytes = 256;
// Where the event's kind lies in a datagram: after the netlink and connector headers.
constexpr std::uint32_t kEventKindAt = NLMSG_HDRLEN + sizeof(cn_msg);

// The status text of a process, whole with one read; false when the process is gone.
bool readStatusOf(std::uint32_t pid, std::string* status) {
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/status", pid);
  char buffer[4096];
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
  if (got <= 0) return false;
  status->assign(buffer, static_cast<std::size_t>(got));
  return true;
}

struct StatusFacts {
  std::uint32_t uid = 0;
  std::uint32_t parent = 0;
  std::string_view command;
};

bool parseStatus(std::string_view status, StatusFacts* facts) {
  return parseStatusUid(status, &facts->uid) &&
         parseStatusNumber(status, "PPid:", &facts->parent) &&
         parseStatusText(status, "Name:", &facts->command);
}

struct Credentials {
  std::uint32_t realUid = 0;
  std::uint32_t parentPid = 0;
};

// The kernel's process information through a pidfd (PIDFD_GET_INFO, Linux 6.13), declared
// here as the kernel defines it: the system's headers may predate it.
struct PidfdInfo {
  std::uint64_t mask = 0;
  std::uint64_t cgroupId = 0;
  std::uint32_t pid = 0, tgid = 0, parentPid = 0, realUid = 0, realGid = 0, effectiveUid = 0,
                effectiveGid = 0, savedUid = 0, savedGid = 0, fsUid = 0, fsGid = 0;
  std::int32_t spare = 0;
};
static_assert(sizeof(PidfdInfo) == 64);
constexpr std::uint64_t kPidfdInfoCredentials = 2;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);

bool readCredentials(std::uint32_t pid, Credentials* credentials) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  PidfdInfo info;
  info.mask = kPidfdInfoCredentials;
  if (!pidfd.valid() || ::ioctl(pidfd.get(), kPidfdGetInfo, &info) != 0 ||
      (info.mask & kPidfdInfoCredentials) == 0) {
    return false;
  }
  *credentials = {info.realUid, info.parentPid};
  return true;
}

}  // namespace

ConnectorSocket::~ConnectorSocket() {
  if (fd_.valid()) tell(PROC_CN_MCAST_IGNORE);
}

bool ConnectorSocket::bindable() {
  UniqueFd probe(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  return probe.valid() &&
         ::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool ConnectorSocket::open(std::uint64_t bufferBytes, bool programStartsOnly) {
  fd_ = UniqueFd(::socket(PF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_CONNECTOR));
  if (!fd_.valid()) return false;
  int bytes = static_cast<int>(std::min<std::uint64_t>(bufferBytes, INT_MAX / 2));
  if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  int granted = 0;
  socklen_t size = sizeof granted;
  ::getsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &granted, &size);
  bufferBytes_ = static_cast<std::uint64_t>(granted);
  if (programStartsOnly) {
    // Filtered in the kernel: forks, exits and the rest never wake this socket's reader.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, kEventKindAt),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, htonl(static_cast<std::uint32_t>(ProcEventKind::kExec)),
                 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xffffffff),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(code)), code};
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
      return false;
    }
  }
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    fd_.reset();
    errno = error;
    return false;
  }
  return tell(PROC_CN_MCAST_LISTEN);
}

bool ConnectorSocket::tell(std::uint32_t operation) {
  alignas(nlmsghdr) std::uint8_t request[NLMSG_LENGTH(sizeof(cn_msg) + sizeof operation)] = {};
  auto* header = reinterpret_cast<nlmsghdr*>(request);
  header->nlmsg_len = sizeof request;
  header->nlmsg_type = NLMSG_DONE;
  header->nlmsg_pid = static_cast<std::uint32_t>(::getpid());
  auto* connector = reinterpret_cast<cn_msg*>(NLMSG_DATA(header));
  connector->id = {CN_IDX_PROC, CN_VAL_PROC};
  connector->len = sizeof operation;
  std::memcpy(connector->data, &operation, sizeof operation);
  return ::send(fd_.get(), request, sizeof request, 0) == static_cast<ssize_t>(sizeof request);
}

int ConnectorSocket::receive(std::vector<ProcEvent>* events) {
  std::uint8_t buffers[kBatch][kDatagramBytes];
  mmsghdr messages[kBatch];
  iovec vectors[kBatch];
  for (std::size_t i = 0; i < kBatch; ++i) {
    vectors[i] = {buffers[i], kDatagramBytes};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int got = ::recvmmsg(fd_.get(), messages, kBatch, MSG_DONTWAIT, nullptr);
  for (int i = 0; i < got; ++i) {
    ProcEvent event;
    if (parseProcEvent(buffers[i], messages[i].msg_len, &event)) events->push_back(event);
  }
  return got;
}

StartFacts readStart(const ProcChange& change) {
  StartFacts facts;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%u/exe", change.pid);
  char target[4096];
  ssize_t length = ::readlink(path, target, sizeof target);
  if (length > 0 && static_cast<std::size_t>(length) < sizeof target) {
    facts.image = withoutDeletedSuffix(std::string(target, static_cast<std::size_t>(length)));
  }
  Credentials credentials;
  std::string status;
  StatusFacts read;
  // The cheap way where the kernel offers it; the status text otherwise, or for the name of
  // a process that has ended already, waiting for its parent.
  bool known = readCredentials(change.pid, &credentials);
  bool readStatus = (!known || facts.image.empty()) && readStatusOf(change.pid, &status) &&
                    parseStatus(status, &read);
  if (!known && readStatus) credentials = {read.uid, read.parent};
  known = known || readStatus;
  // The kernel's name for a process gone before it could be read, never its parent's.
  if (facts.image.empty() && readStatus) facts.image = read.command;
  if (known) facts.uid = credentials.realUid;
  facts.parentPid = credentials.parentPid;
  completeStart(change, &facts);
  return facts;
}

void completeStart(const ProcChange& change, StartFacts* facts) {
  // What forks told is surer than a gone process's parent.
  if (change.parentPid != 0) facts->parentPid = change.parentPid;
  if (facts->uid) return;
  if (change.realUid) {
    facts->uid = change.realUid;
  } else if (Credentials parent;
             change.parentPid != 0 && readCredentials(change.parentPid, &parent)) {
    // Gone already: a child runs as its parent unless it changed users, which would have
    // told its new user.
    facts->uid = parent.realUid;
  }
}

}  // namespace Vantor::platform
