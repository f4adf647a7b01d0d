// Any bytes are read as a performance-data block or refused, never read past; a block read
// back builds again into one that reads the same.
#include <cstdint>

#include "platform/PerfDataBlock.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::optional<Vantor::platform::PerfData> read = Vantor::platform::parsePerfDataBlock(data, size);
  if (!read) return 0;
  for (const Vantor::platform::PerfObject& object : read->objects) {
    for (const Vantor::platform::PerfInstance& instance : object.instances) {
      for (const Vantor::platform::PerfCounterDefinition& counter : object.counters) {
        Vantor::platform::rawCounterValue(instance.counters, counter);
      }
    }
  }
  std::vector<std::uint8_t> again = Vantor::platform::buildPerfDataBlock(*read);
  std::optional<Vantor::platform::PerfData> reread =
      Vantor::platform::parsePerfDataBlock(again.data(), again.size());
  if (!reread || reread->objects.size() != read->objects.size()) __builtin_trap();
  return 0;
}
