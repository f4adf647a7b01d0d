#include "procdrv/BpfFeed.h"

#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#ifdef TARNWICK_WITH_BPF
#include <bpf/libbpf.h>

#include "process_events.skel.h"
#endif

namespace Vantor::procdrv {

namespace {

// The program's counts (the indices of its counts map).
constexpr std::uint32_t kCountOffered = 0;
constexpr std::uint32_t kCountLost = 1;
// The reader is woken once this much waits, or a quarter of a smaller ring.
constexpr std::size_t kWakeAtBytes = 256 * 1024;

std::uint64_t nanosOf(clockid_t clock) {
  timespec now{};
  ::clock_gettime(clock, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t bootAheadNanos() {
  std::uint64_t monotonic = nanosOf(CLOCK_MONOTONIC);
  std::uint64_t boot = nanosOf(CLOCK_BOOTTIME);
  return boot > monotonic ? boot - monotonic : 0;
}

#ifdef TARNWICK_WITH_BPF
bool loaderVerbose = false;

int printLoaderMessage(libbpf_print_level level, const char* format, std::va_list arguments) {
  // The verifier's log runs to thousands of lines: only when asked for. The refusal itself
  // is told by the caller.
  if (!loaderVerbose || level == LIBBPF_DEBUG) return 0;
  // Its messages name it already.
  std::fputs("vantor-procdrv: ", stderr);
  return std::vfprintf(stderr, format, arguments);
}
#endif

}  // namespace

#ifdef TARNWICK_WITH_BPF

bool BpfFeed::built() { return true; }

std::unique_ptr<BpfFeed> BpfFeed::open(std::size_t ringBytes, bool verbose, std::string* refusal) {
  loaderVerbose = verbose;
  libbpf_set_print(printLoaderMessage);
  if (::access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
    *refusal = "the kernel has no type information (/sys/kernel/btf/vmlinux)";
    return nullptr;
  }
  std::unique_ptr<BpfFeed> feed(new BpfFeed());
  feed->clocks_.bootAheadNanos = bootAheadNanos();
  long ticks = ::sysconf(_SC_CLK_TCK);
  if (ticks > 0) feed->clocks_.ticksPerSecond = static_cast<std::uint64_t>(ticks);
  feed->processors_ = libbpf_num_possible_cpus();
  if (feed->processors_ <= 0) {
    *refusal = "the number of processors is not known";
    return nullptr;
  }
  feed->program_ = process_events__open();
  if (feed->program_ == nullptr) {
    *refusal = std::string("the program does not open: ") + std::strerror(errno);
    return nullptr;
  }
  if (bpf_map__set_max_entries(feed->program_->maps.events,
                               static_cast<std::uint32_t>(ringBytes)) != 0) {
    *refusal = "the ring buffer cannot have that size";
    return nullptr;
  }
  feed->program_->rodata->wake_at_bytes = std::min(kWakeAtBytes, ringBytes / 4);
  if (int error = process_events__load(feed->program_); error != 0) {
    *refusal = std::string("the kernel refuses the program: ") + std::strerror(-error);
    return nullptr;
  }
  if (int error = process_events__attach(feed->program_); error != 0) {
    *refusal = std::string("the program cannot be attached: ") + std::strerror(-error);
    return nullptr;
  }
  int ring = bpf_map__fd(feed->program_->maps.events);
  feed->ring_ = ring_buffer__new(ring, &BpfFeed::receive, feed.get(), nullptr);
  // Edge-triggered: woken by the program's wake-ups alone, not whenever a record waits, so
  // that the reader takes batches instead of spinning on each record.
  feed->wakeups_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event wanted{};
  wanted.events = EPOLLIN | EPOLLET;
  if (feed->ring_ == nullptr || feed->wakeups_ < 0 ||
      ::epoll_ctl(feed->wakeups_, EPOLL_CTL_ADD, ring, &wanted) != 0) {
    *refusal = std::string("the ring buffer cannot be read: ") + std::strerror(errno);
    return nullptr;
  }
  return feed;
}

BpfFeed::~BpfFeed() {
  if (wakeups_ >= 0) ::close(wakeups_);
  if (ring_ != nullptr) ring_buffer__free(ring_);
  // Detaches the trace points and unloads the program and its maps.
  if (program_ != nullptr) process_events__destroy(program_);
}

int BpfFeed::receive(void* feed, void* data, std::size_t size) {
  auto* self = static_cast<BpfFeed*>(feed);
  ++self->read_;
  std::optional<platform::StreamedEvent> event =
      decodeBpfRecord(static_cast<const std::uint8_t*>(data), size, self->clocks_);
  if (event) {
    self->taken_.push_back(std::move(*event));
  } else {
    ++self->unreadable_;
  }
  return 0;
}

std::deque<platform::StreamedEvent> BpfFeed::take(int waitMillis) {
  // The program wakes the reader only once much waits: otherwise the wait runs out, and what
  // waits is read as one batch.
  epoll_event woken{};
  ::epoll_wait(wakeups_, &woken, 1, waitMillis);
  clocks_.bootAheadNanos = bootAheadNanos();
  ring_buffer__consume(ring_);
  return std::exchange(taken_, {});
}

std::uint64_t BpfFeed::count(std::uint32_t which) const {
  std::vector<std::uint64_t> counts(static_cast<std::size_t>(processors_));
  if (bpf_map__lookup_elem(program_->maps.counts, &which, sizeof which, counts.data(),
                           counts.size() * sizeof(std::uint64_t), 0) != 0) {
    return 0;
  }
  std::uint64_t sum = 0;
  for (std::uint64_t count : counts) sum += count;
  return sum;
}

std::uint64_t BpfFeed::lost() const { return unreadable_ + count(kCountLost); }

std::string BpfFeed::finish() {
  process_events__detach(program_);
  ring_buffer__consume(ring_);
  taken_.clear();
  return "the eBPF program offered " + std::to_string(count(kCountOffered)) +
         " records: " + std::to_string(read_) + " read, " + std::to_string(count(kCountLost)) +
         " without room, " + std::to_string(unreadable_) + " unreadable.";
}

#else

bool BpfFeed::built() { return false; }

std::unique_ptr<BpfFeed> BpfFeed::open(std::size_t, bool, std::string* refusal) {
  *refusal = "this build has no eBPF program (clang, bpftool or libbpf were missing)";
  return nullptr;
}

BpfFeed::~BpfFeed() = default;
int BpfFeed::receive(void*, void*, std::size_t) { return 0; }
std::deque<platform::StreamedEvent> BpfFeed::take(int) { return {}; }
std::uint64_t BpfFeed::lost() const { return 0; }
std::uint64_t BpfFeed::count(std::uint32_t) const { return 0; }
std::string BpfFeed::finish() { return {}; }

#endif

}  // namespace Vantor::procdrv
