// A Windows test program with a version resource: versioned_probe CODE MILLIS runs MILLIS
// milliseconds, then exits with CODE.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  int code = argc > 1 ? std::atoi(argv[1]) : 0;
  DWORD millis = argc > 2 ? static_cast<DWORD>(std::atol(argv[2])) : 0;
  ::Sleep(millis);
  return code;
}
