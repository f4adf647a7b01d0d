// A test program that ends as told:
//   exit_with N                  exits with status N
//   exit_with -S                 is ended by signal S
//   exit_with thread-exit N      its first thread ends at once; another ends the process with
//                                status N a second later
//   exit_with thread-exec PATH A another thread starts PATH with argument A a moment later
//   exit_with thread-exec-now PATH A  another thread starts PATH with argument A at once
//   exit_with after MS N         exits with status N after MS milliseconds
//   exit_with fork-children N    forks N children that start no program, and waits for a
//                                signal with them (a shell running subshells, a server
//                                running workers)
//   exit_with forks N            forks N children one after another, each ending at once
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <cstdlib>
#include <cstring>

namespace {

char** arguments;

void* exitLater(void*) {
  ::sleep(1);
  std::exit(std::atoi(arguments[2]));
}

void* execNow(void*) {
  char* argv[] = {arguments[2], arguments[3], nullptr};
  ::execv(arguments[2], argv);
  std::_Exit(127);
}

void* execOther(void*) {
  // The first program runs a moment, as any does before it hands over: one replaced within
  // microseconds of its start is gone before anything outside can read what it was.
  ::usleep(100000);
  return execNow(nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  arguments = argv;
  if (argc > 3 && std::strcmp(argv[1], "after") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(argv[2])));
    return std::atoi(argv[3]);
  }
  if (argc > 2 && std::strcmp(argv[1], "forks") == 0) {
    for (int child = std::atoi(argv[2]); child > 0; --child) {
      pid_t pid = ::fork();
      if (pid == 0) ::_exit(0);
      if (pid > 0) ::waitpid(pid, nullptr, 0);
    }
    return 0;
  }
  if (argc > 2 && std::strcmp(argv[1], "fork-children") == 0) {
    for (int child = std::atoi(argv[2]); child > 0; --child) {
      if (::fork() == 0) break;
    }
    ::pause();
    return 0;
  }
  bool exitLaterAsked = argc > 2 && std::strcmp(argv[1], "thread-exit") == 0;
  bool execAsked = argc > 3 && std::strcmp(argv[1], "thread-exec") == 0;
  bool execNowAsked = argc > 3 && std::strcmp(argv[1], "thread-exec-now") == 0;
  if (exitLaterAsked || execAsked || execNowAsked) {
    pthread_t worker;
    ::pthread_create(&worker, nullptr,
                     exitLaterAsked ? exitLater
                     : execAsked    ? execOther
                                    : execNow,
                     nullptr);
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
