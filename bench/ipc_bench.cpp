// Mailslot throughput: four processes each send 5,000 messages to one server as fast as they
// can; the figure is messages per second until the server's callback has seen them all.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ipc/IPCClient.h"
#include "ipc/IPCServer.h"
#include "support/SystemEnv.h"

namespace {

constexpr int kWriters = 4;
constexpr int kMessagesEach = 5000;

void FourWritersToOneServer(benchmark::State& state) {
  char pattern[] = "/tmp/tarnwick-bench-XXXXXX";
  std::string runtime = ::mkdtemp(pattern);
  ::setenv("VANTOR_RUNTIME_DIR", runtime.c_str(), 1);
  std::atomic<int> seen{0};
  Vantor::IPCServer server(Vantor::testing::systemEnv(), "Bench_Server", nullptr,
                           [&](const std::string&, const std::string&, const std::string&,
                               const std::string&) { ++seen; });
  while (!server.isListening()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  for (auto _ : state) {
    seen = 0;
    for (int writer = 0; writer < kWriters; ++writer) {
      if (::fork() == 0) {
        Vantor::IPCClient client(Vantor::testing::systemEnv(), "Bench_Server");
        std::string body(64, 'x');
        for (int i = 0; i < kMessagesEach; ++i) {
          client.send("REPLY", std::to_string(writer) + "-" + std::to_string(i), body, "");
        }
        ::_exit(0);
      }
    }
    for (int writer = 0; writer < kWriters; ++writer) ::wait(nullptr);
    while (seen.load() < kWriters * kMessagesEach) std::this_thread::yield();
  }
  state.SetItemsProcessed(state.iterations() * kWriters * kMessagesEach);
  server.stop();
  std::filesystem::remove_all(runtime);
}
BENCHMARK(FourWritersToOneServer)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
