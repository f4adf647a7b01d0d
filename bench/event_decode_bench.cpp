// Kernel process events through decoding alone: start and end records of the session's layout
// decoded with the built-in event classes, as the event tracer does for every event. Reports
// events per second and the ratio of a repository walk (the first event of a class) to a
// decoding that uses what the first one learnt.
#include <benchmark/benchmark.h>

#include "platform/Env.h"
#include "platform/posix/ProcessEventData.h"
#include "sources/EventDecoder.h"
#include "support/SystemEnv.h"

namespace {

using namespace Vantor;

platform::EventTrace recordOf(const std::vector<std::uint8_t>& data, std::uint8_t type) {
  platform::EventTrace record;
  record.type = type;
  record.version = 2;
  record.guid = platform::kProcessEventGuid;
  record.timeStamp = 134000000000000000;
  record.mofData = data.data();
  record.mofLength = static_cast<std::uint32_t>(data.size());
  return record;
}

void DecodeStartAndEnd(benchmark::State& state) {
  LoggerUnit logger(nullptr, kModuleTarnwick);
  EventDecoder decoder(testing::systemEnv(), testing::systemEnv().eventClasses(), logger, true);
  std::vector<std::uint8_t> start =
      platform::processEventData({4242, 1, 0, 0u, "/usr/lib/program/binary"}, {2, true});
  std::vector<std::uint8_t> end = platform::processEventData({4242, 1, 3, {}, ""}, {2, true});
  platform::EventTrace records[] = {recordOf(start, 1), recordOf(end, 2)};
  for (auto _ : state) {
    for (const platform::EventTrace& record : records) {
      benchmark::DoNotOptimize(decoder.decode(record));
    }
  }
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(DecodeStartAndEnd);

// A decoder made for each event: every event walks the class descriptions.
void DecodeWithoutWhatWasLearnt(benchmark::State& state) {
  LoggerUnit logger(nullptr, kModuleTarnwick);
  std::vector<std::uint8_t> start =
      platform::processEventData({4242, 1, 0, 0u, "/usr/lib/program/binary"}, {2, true});
  platform::EventTrace record = recordOf(start, 1);
  for (auto _ : state) {
    EventDecoder decoder(testing::systemEnv(), testing::systemEnv().eventClasses(), logger, true);
    benchmark::DoNotOptimize(decoder.decode(record));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(DecodeWithoutWhatWasLearnt);

}  // namespace

BENCHMARK_MAIN();
