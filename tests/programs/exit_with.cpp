// A test program that ends as told:
//   exit_with N                  exits with status N
//   exit_with -S                 is ended by signal S
//   exit_with thread-exit N      its first thread ends at once; another ends the process with
//                                status N a second later
//   exit_with thread-exec PATH A another thread starts PATH with argument A a moment later
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

char** arguments;

void* exitLater(void*) {
  ::sleep(1);
  std::exit(std::atoi(arguments[2]));
}

void* execOther(void*) {
  // The first program runs a moment, as any does before it hands over: one replaced within
  // microseconds of its start is gone before anything outside can read what it was.
  ::usleep(100000);
  char* argv[] = {arguments[2], arguments[3], nullptr};
  ::execv(arguments[2], argv);
  std::_Exit(127);
}

}  // namespace

int main(int argc, char** argv) {
  arguments = argv;
  bool exitLaterAsked = argc > 2 && std::strcmp(argv[1], "thread-exit") == 0;
  bool execAsked = argc > 3 && std::strcmp(argv[1], "thread-exec") == 0;
  if (exitLaterAsked || execAsked) {
    pthread_t worker;
    ::pthread_create(&worker, nullptr, exitLaterAsked ? exitLater : execOther, nullptr);
    if (exitLaterAsked) ::pthread_exit(nullptr);
    ::pause();
  }
  int how = argc > 1 ? std::atoi(argv[1]) : 0;
  if (how < 0) {
    ::signal(-how, SIG_DFL);
    ::raise(-how);
  }
  return how;
}
