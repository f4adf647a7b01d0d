// Process events from the driver's eBPF program: it is loaded and attached to the kernel's
// exec and exit trace points, and its ring buffer is read in batches. Everything it loaded is
// detached and unloaded when the feed goes.
#ifndef TARNWICK_TOOLS_PROCDRV_BPFFEED_H_
#define TARNWICK_TOOLS_PROCDRV_BPFFEED_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "procdrv/BpfRecord.h"
#include "procdrv/EventFeed.h"

struct process_events;
struct ring_buffer;

namespace Vantor::procdrv {

class BpfFeed : public EventFeed {
 public:
  static constexpr std::size_t kDefaultRingBytes = 8u << 20;
  // The ring buffer's size is a power of two, and holds at least the largest record.
  static constexpr std::size_t kLeastRingBytes = 8192;
  static constexpr std::size_t kMostRingBytes = 1u << 30;

  // Whether this build has the eBPF program at all.
  static bool built();
  // Loads and attaches the program; null, with the reason in *refusal, when the kernel or the
  // rights do not allow it. verbose: the loader's own messages go to standard error.
  static std::unique_ptr<BpfFeed> open(std::size_t ringBytes, bool verbose, std::string* refusal);
  ~BpfFeed() override;
  BpfFeed(const BpfFeed&) = delete;
  BpfFeed& operator=(const BpfFeed&) = delete;

  std::deque<platform::StreamedEvent> take(int waitMillis) override;
  std::uint64_t lost() const override;
  const char* name() const override { return "bpf"; }
  // Every record has what it needs: larger batches cost fewer wakes.
  int batchMillis() const override { return 50; }
  // Detaches the program, so that no more records come, and reads what is left: the counts
  // it tells are final.
  std::string finish() override;

 private:
  BpfFeed() = default;
  static int receive(void* feed, void* data, std::size_t size);
  // The sum over the processors of a count of the program's: of records offered to the ring,
  // or of records that found no room.
  std::uint64_t count(std::uint32_t which) const;

  process_events* program_ = nullptr;
  ring_buffer* ring_ = nullptr;
  int wakeups_ = -1;  // an epoll descriptor for the ring's wake-ups
  int processors_ = 0;
  BpfClocks clocks_;
  // The taker's own, filled by receive() while it reads the ring.
  std::deque<platform::StreamedEvent> taken_;
  // Records that did not read as any event: lost like those that found no room.
  std::uint64_t unreadable_ = 0;
  std::uint64_t read_ = 0;
};

}  // namespace Vantor::procdrv

#endif  // TARNWICK_TOOLS_PROCDRV_BPFFEED_H_
