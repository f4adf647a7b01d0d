// A test program that uses shared libraries for known times:
//   hold_library OUT KEPT HELD SECONDS
// loads KEPT and then HELD, unloads HELD after SECONDS and runs on until it is ended. OUT
// receives "loaded T", then "unloaded T" (T: seconds since 1970), each line when it happened.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

void tell(std::FILE* out, const char* what) {
  std::fprintf(out, "%s %lld\n", what, static_cast<long long>(std::time(nullptr)));
  std::fflush(out);
}

void* load(const char* path) {
  void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::fprintf(stderr, "hold_library: %s\n", ::dlerror());
    std::exit(2);
  }
  return library;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: hold_library OUT KEPT HELD SECONDS\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 2;
  load(argv[2]);
  void* held = load(argv[3]);
  tell(out, "loaded");
  ::sleep(static_cast<unsigned>(std::atoi(argv[4])));
  ::dlclose(held);
  tell(out, "unloaded");
  for (;;) ::pause();
}
