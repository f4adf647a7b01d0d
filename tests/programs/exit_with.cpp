// A test program that ends as told: "exit_with N" exits with status N, "exit_with -S" is
// ended by signal S.
#include <signal.h>

#include <cstdlib>

int main(int argc, char** argv) {
  int how = argc > 1 ? std::atoi(argv[1]) : 0;
  if (how < 0) {
    ::signal(-how, SIG_DFL);
    ::raise(-how);
  }
  return how;
}
