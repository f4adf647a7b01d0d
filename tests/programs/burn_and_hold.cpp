// A test program with a known appetite:
//   burn_and_hold OUT SECONDS MEGABYTES
// holds MEGABYTES of private memory, written to, and burns processor time until the kernel has
// counted SECONDS of it. Just before it ends it writes to OUT what the kernel counted for it:
// "<processor seconds> <private bytes>".
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>

namespace {

double processorSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Private memory as the kernel counts it: resident anonymous pages and swapped ones.
unsigned long long privateBytes() {
  std::ifstream status("/proc/self/status");
  unsigned long long kilobytes = 0;
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("RssAnon:") || line.starts_with("VmSwap:")) {
      kilobytes += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
    }
  }
  return kilobytes * 1024;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: burn_and_hold OUT SECONDS MEGABYTES\n");
    return 2;
  }
  double seconds = std::atof(argv[2]);
  std::size_t bytes = std::strtoull(argv[3], nullptr, 10) << 20;
  auto held = std::make_unique<char[]>(bytes);
  std::memset(held.get(), 1, bytes);
  volatile unsigned long long spin = 0;
  while (processorSeconds() < seconds) {
    for (int i = 0; i < 1000000; ++i) spin = spin + held[static_cast<std::size_t>(i) % bytes];
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 3;
  std::fprintf(out, "%.3f %llu\n", processorSeconds(), privateBytes());
  std::fclose(out);
  return 0;
}
