// Starts a program N times, one after another, each waited for, as fast as the machine
// allows; prints the starts per second. "spawn_burst N PROGRAM [ARGUMENT]"
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: spawn_burst N PROGRAM [ARGUMENT]\n");
    return 2;
  }
  long count = std::atol(argv[1]);
  char* child[] = {argv[2], argc > 3 ? argv[3] : nullptr, nullptr};
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    pid_t pid = 0;
    if (::posix_spawn(&pid, argv[2], nullptr, nullptr, child, environ) != 0) return 1;
    ::waitpid(pid, nullptr, 0);
  }
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.0f\n", static_cast<double>(count) / took.count());
  return 0;
}
